// Reading and deleting single files of the private store.
#pragma once

#include "checked/checked_deletes.hpp"
#include "platform/failures.hpp"
#include "platform/file_reference.hpp"
#include "platform/owners.hpp"

#include <cstdint>
#include <sys/stat.h>

namespace anchorfs {

// The whole content of the file behind fd, read only while it keeps one
// snapshot throughout and no other process can write it (ESTALE otherwise; fd
// must be read-only); the file is hardened to 0600 first. 0 on success with
// the buffer, its size and the status after reading handed over.
int read_private_regular(int fd, const struct stat& root_status, std::uint64_t bound, unique_buffer& content,
                         std::uint64_t& size, struct stat* after = nullptr);

// Deletes a private file only while its content has the given size and digest,
// proven once through a fresh descriptor and twice through the bound one.
bool delete_private_regular_content(int dir, const char* name, const struct stat& root_status, std::uint64_t size,
                                    const char* digest);

// Deletes a private, single-link regular file of at most `bound` bytes.
bool delete_private_staging_bounded(int dir, const char* name, const struct stat& root_status, std::uint64_t bound);

// The last step of both deletes above: deletes through the bound reference,
// closes the bound descriptor, proves the name absent and flushes the
// directory. `named` is the caller's last call, the look at the name right
// before the deletion. False with the failing step's error, or ESTALE where it
// left none.
bool delete_bound_private_file(int dir, const char* name, const file_reference& reference, unique_fd& bound,
                               const struct stat& named);

// The tail both deletes share: binds a reference to the file under the name,
// which must be `expected` (from `held` when the caller holds one taken by the
// name, see bind_held_regular_fsref); `prove_bound(bound_fd, named)` checks the
// file through the bound descriptor and ends with a look at the name into
// `named` (false with errno); then delete_bound_private_file.
template <typename Proof>
bool delete_private_file_by_reference(int dir, const char* name, const struct stat& expected, const Proof& prove_bound,
                                      file_reference* held = nullptr)
{
    file_reference reference;
    unique_fd bound;
    errno = 0;
    if (held != nullptr ? !bind_held_regular_fsref(dir, name, expected, *held, reference, bound)
                        : !bind_regular_fsref_at(dir, name, expected, reference, bound))
        return fail_call_or_stale();
    struct stat named;
    if (!prove_bound(bound.get(), named))
        return false;
    return delete_bound_private_file(dir, name, reference, bound, named);
}

// Empties a private directory depth first, one fresh listing per removed entry:
// each from where the last one found its entry where `resume_listings` (the
// file system's listing positions are stable), else from the start.
bool remove_private_tree_contents(int dir, const struct stat& root_status, std::uint64_t& budget,
                                  std::uint64_t depth, std::uint64_t depth_limit, bool resume_listings);

} // namespace anchorfs
