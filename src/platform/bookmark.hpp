// Directory bookmarks: a byte record from which a directory can be found again
// after it was moved, and the look-up of a directory by its inode.
//
// Record (version 1, little-endian, 1 to 65536 bytes):
//   "AFBK" | version u8 = 1 | flags u8 (bit 0: handle present) | u16 0
//   | device u64 | inode u64
//   | handle type i32 | handle length u32 (at most 128) | handle bytes
//   | path length u32 (1 to 4095) | path bytes (absolute, no terminator)
// A record is untrusted input when decoded: anything malformed resolves to nothing.
#pragma once

#include "platform/owners.hpp"

#include <cstdint>
#include <span>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace anchorfs {

// A file system, named by a directory on it: look-ups by inode search below
// that directory.
struct filesystem_identifier {
    int directory_fd = -1;
    fsid_t fsid{};
};

// The identifier of the file system of dir_fd, searched from dir_fd.
int filesystem_identifier_of(int dir_fd, filesystem_identifier& identifier);

// Makes the record for an open directory: its device and inode, the kernel's
// file handle where the file system gives one, and its current path.
int make_bookmark_record(int dir_fd, const struct stat& status, unique_buffer& record);

// Resolves a record to the directory's path (full_path_capacity bytes). Where
// the process may open by handle, the handle is opened and the directory's
// current path taken, so a moved directory is found at its new place;
// otherwise, or when that fails, the recorded path. -1 when the record is
// malformed or no path results.
int resolve_bookmark_record(std::span<const unsigned char> record, const filesystem_identifier* identifier,
                            char* path);

// The path of the directory with this inode on the identified file system,
// searched breadth first below the identifier's directory without following
// symbolic links or leaving its device, examining at most
// path_by_inode_entry_budget entries and walking at most
// path_by_inode_walk_budget steps to reopen the directories it lists (each
// from its nearest ancestor the search still holds open), so that its work
// grows with the entries it meets, whatever the tree's depth. -1 with ENOENT
// when not found within both.
inline constexpr std::uint64_t path_by_inode_entry_budget = 65536;
inline constexpr std::uint64_t path_by_inode_walk_budget = 2 * path_by_inode_entry_budget;
int path_by_inode(const filesystem_identifier& identifier, std::uint64_t inode, char* path);

} // namespace anchorfs
