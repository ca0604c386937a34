// File references: a handle on one file-system object, as opposed to a name.
//
// A reference holds an O_PATH descriptor of the object with its device, inode
// and mount id, and its type. Two references are equal when all three numbers
// are. A reference is made from a held directory and one name, never from a
// path the kernel would walk again. Its path is the descriptor's current path.
// Linux cannot delete by descriptor, so a reference is deleted through the held
// directory and leaf it was bound through, immediately after proving that the
// name still designates the referenced object (see delete_by_reference).
#pragma once

#include "platform/mount_status.hpp"
#include "platform/owners.hpp"

#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

namespace anchorfs {

struct file_reference {
    unique_fd object; // O_PATH | O_NOFOLLOW: never a descriptor that can read or write
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t mount_id = 0;
    mode_t type = 0; // S_IFMT bits
    // Where the reference was bound: the held directory and the leaf inside it.
    int bound_dir = -1;
    const char* bound_name = nullptr;

    bool directory() const { return type == S_IFDIR; }
};

// A reference for the entry `name` of the held directory dir (one name, no
// symbolic link followed, nothing opened for reading or writing), with the
// entry's status in `status` when given. -1 with the openat or statx error, or
// ESTALE when a mount is placed on the name.
int file_reference_at(int dir, const char* name, file_reference& reference, struct stat* status = nullptr);

// A reference for an O_PATH | O_NOFOLLOW descriptor that its caller opened by
// one name below a held directory, as file_reference_at does, and has looked
// at through that descriptor since (`status` and `place` from status_with_mount,
// not a mount root): the look is not taken a second time.
file_reference file_reference_of(unique_fd object, const struct stat& status, const mount_place& place);

// Same device, inode and mount id.
bool same_file_reference(const file_reference& first, const file_reference& second);

// The reference's own descriptor still shows the recorded device, inode, type
// and mount id. false with the status call's error, or ESTALE on a mismatch.
bool valid_file_reference(const file_reference& reference);

// The referenced object's current full path (full_path_capacity bytes);
// -1 with ENOENT when the object has no path any more.
int file_reference_path(const file_reference& reference, char* buffer);

// Deletes the referenced object under the name it was bound through (a
// directory only when empty). -1 with the error of the failing call, or ESTALE
// when the name no longer designates the object, or when afterwards the object
// was evidently not the one removed.
int delete_by_reference(const file_reference& reference);

// The same, for a caller whose last call was the look at the bound name that
// gave `named` (status_below): that look is the one right before the unlinkat,
// and the name must still show the referenced object in it (ESTALE).
int delete_by_reference(const file_reference& reference, const struct stat& named);

} // namespace anchorfs
