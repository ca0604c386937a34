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

#include <cstddef>
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

// A record read back, its handle and path pointing into the record's bytes.
struct bookmark_record {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool has_handle = false;
    int handle_type = 0;
    std::size_t handle_length = 0;
    const unsigned char* handle = nullptr;
    std::size_t path_length = 0;
    const unsigned char* path = nullptr; // absolute, without terminator
};

// Decodes an untrusted record; false for anything malformed.
bool decode_bookmark_record(std::span<const unsigned char> bytes, bookmark_record& out);

// The object the record's handle names on the file system of mount_fd, as an
// O_PATH descriptor (nothing is opened for reading, and no path is walked).
// Empty with the call's error: EPERM without CAP_DAC_READ_SEARCH, ESTALE for
// an object that is gone, EINVAL without a handle.
unique_fd open_bookmark_handle(const bookmark_record& record, int mount_fd);

// Where the recorded path lies below base_path (an absolute path without a
// trailing slash, "/" for the file-system root), compared name by name:
// writes the rest into relative (full_path_capacity bytes), "." for base_path
// itself, and returns true; false when the recorded path is not base_path or
// below it.
bool recorded_path_below(const bookmark_record& record, const char* base_path, char* relative);

// The directory with this inode on the identified file system, searched
// breadth first below the identifier's directory without following symbolic
// links or leaving its device, examining at most directory_by_inode_entry_budget
// entries and walking at most directory_by_inode_walk_budget steps to reopen
// the directories it lists (each from its nearest ancestor the search still
// holds open), so that its work grows with the entries it meets, whatever the
// tree's depth. Every directory is reached from a held descriptor one name at
// a time. Empty with ENOENT when not found within both; a call's EMFILE,
// ENFILE or ENOMEM ends the search with that error (never read as "not
// here"). It holds at most directory_by_inode_descriptors descriptors at once
// besides the identifier's.
inline constexpr std::uint64_t directory_by_inode_entry_budget = 65536;
inline constexpr std::uint64_t directory_by_inode_walk_budget = 2 * directory_by_inode_entry_budget;
inline constexpr unsigned directory_by_inode_held = 8;
// The held ones, the directory being listed and its listing, and the one
// being opened from it.
inline constexpr unsigned directory_by_inode_descriptors = directory_by_inode_held + 3;
unique_fd directory_by_inode(const filesystem_identifier& identifier, std::uint64_t inode);

// A shortage of descriptors or memory: an error that says nothing about the
// directory sought, so a resolution stops at it instead of trying another road.
bool resource_shortage(int error);

} // namespace anchorfs
