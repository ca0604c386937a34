// Opening directories without following a symbolic link at the last component.
#pragma once

#include "platform/owners.hpp"

namespace anchorfs {

// The flags of every directory open below (and of) the root.
int directory_open_flags();

// openat(dir, name, O_RDONLY|O_DIRECTORY|O_NOFOLLOW|O_CLOEXEC | extra_flags).
// Linux reports a symbolic link at the name as ENOTDIR under O_DIRECTORY; the
// failure is reported as ELOOP when the name is a symbolic link, and stays
// ENOTDIR for any other non-directory.
unique_fd open_directory_at(int dir, const char* name, int extra_flags = 0);

// The same for a whole path (the root path, bookmark and reference paths),
// resolved by the kernel except for its last component.
unique_fd open_directory_path(const char* path, int extra_flags = 0);

} // namespace anchorfs
