// The path under which the kernel currently knows the object behind a
// descriptor, read from /proc/self/fd.
#pragma once

#include <climits>
#include <cstddef>

namespace anchorfs {

inline constexpr std::size_t full_path_capacity = PATH_MAX; // 4096, terminator included

// Writes the absolute path of fd into buffer (full_path_capacity bytes) and
// returns 0. Fails with the readlink error, ENAMETOOLONG when the path does not
// fit, and ENOENT when the object has no path any more (its name was removed,
// or it is not reachable from this process's root).
int descriptor_path(int fd, char* buffer);

} // namespace anchorfs
