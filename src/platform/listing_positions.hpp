// Whether the positions a file system reports in a directory listing still
// lead to the same place after entries are created and removed.
#pragma once

#include <cstdint>
#include <string_view>

namespace anchorfs {

// True where a position reported for an entry stays that entry's (or, once
// it is gone, the place its successor follows) while other entries come and
// go: ext2/3/4 (a name hash or a byte offset in the directory), XFS (an offset
// in the directory's data), Btrfs (an index that only grows), and tmpfs from
// Linux 6.6 on (an offset handed to each entry when it is made). Before 6.6
// tmpfs reports an entry's index in a list new entries join at the front, so
// a remembered position names another entry after creations. Every other file
// system, and a kernel release that does not parse, is not trusted: a caller
// lists from the start there.
bool listing_positions_stable(std::int64_t fs_magic, std::string_view kernel_release);

// listing_positions_stable for the file system of `dir_fd` and the running
// kernel; false when either cannot be told.
bool listing_positions_stable_for(int dir_fd);

} // namespace anchorfs
