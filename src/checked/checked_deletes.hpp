// Deletes that act only on an object proven, by several independent routes, to
// be the one the caller described, and that go through a reference bound to it.
#pragma once

#include "core/argument_forms.hpp"
#include "platform/file_reference.hpp"

#include <sys/stat.h>

namespace anchorfs {

// Binds a reference and a bound descriptor (read-only, non-blocking) to the
// regular file under the name: the reference is taken by the one name, no
// symbolic link followed, and the descriptor is reopened through it only once
// it showed a regular file, so nothing else is ever opened for reading. ELOOP
// for a symbolic link, ESTALE for another object. On false nothing is stored
// and no descriptor stays open. The binding ends with a look at the name,
// whose status goes to *named when given.
bool bind_regular_fsref_at(int dir, const char* name, const struct stat& expected, file_reference& reference,
                           unique_fd& bound, struct stat* named = nullptr);

// bind_regular_fsref_at for a caller that already holds a reference taken by
// the name (`held`, as from harden_private_regular_entry) to the object that
// `expected` describes, the name looked at since: the binding goes on from that
// reference instead of taking another. `held` is moved into `reference` on true.
bool bind_held_regular_fsref(int dir, const char* name, const struct stat& expected, file_reference& held,
                             file_reference& reference, unique_fd& bound, struct stat* named = nullptr);

bool delete_regular_checked(int dir, const char* name, const struct stat& expected);
// delete_regular_checked for a caller that already holds a reference taken by
// the name (`held`, as from harden_private_regular_entry) whose own
// descriptor's status is `expected`, looked at no later than the name's last
// look: the binding goes on from that reference instead of taking another.
bool delete_held_regular_checked(int dir, const char* name, const struct stat& expected, file_reference& held);
bool delete_exact_regular_content_checked(int dir, const char* name, const exact_file_description& description);
bool delete_regular_content_checked(int dir, const char* name, int quarantine_dir, const char* quarantine_leaf,
                                    const exact_file_description& description);
bool delete_directory_checked(int dir, const char* name, const struct stat& expected);

// Deletes through a bound reference, closes the bound descriptor, and proves
// the name absent and the directory flushed. `named` is the caller's last
// call, the look at the name right before the deletion.
bool finish_delete_by_reference(int dir, const char* name, file_reference& reference, unique_fd& bound,
                                const struct stat& named);

} // namespace anchorfs
