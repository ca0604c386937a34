// Status records that also tell which mount an object was reached through.
//
// Bind mounts of the same file system keep the device number, so only the
// mount says whether a name below the root leads outside it. Below a
// directory on mount M, an object reached by one name is on M unless it is
// the root of a mount placed on that name; a single statx tells both the
// status and that (STATX_ATTR_MOUNT_ROOT, Linux 5.8). Where the kernel does
// not report the attribute the call fails with EOPNOTSUPP rather than guess.
#pragma once

#include <cstdint>
#include <sys/stat.h>

namespace anchorfs {

struct mount_place {
    std::uint64_t mount_id = 0;
    bool mount_root = false;
};

// statx(dir, name, flags) filling `status` as fstatat would, with the mount
// the object was reached through.
int status_with_mount(int dir, const char* name, int flags, struct stat& status, mount_place& place);

// fstatat(dir, name, AT_SYMLINK_NOFOLLOW) for an object below a held
// directory; ESTALE (an identity change) when a mount is placed on the name.
int status_below(int dir, const char* name, struct stat& status);

// fstat of a descriptor opened by name below a held directory; ESTALE when it
// is the root of a mount (it was opened through a mount point).
int descriptor_status_below(int fd, struct stat& status);

// The mount id of an open descriptor.
int descriptor_mount_id(int fd, std::uint64_t& mount_id);

} // namespace anchorfs
