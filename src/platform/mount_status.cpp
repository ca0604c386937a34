#include "platform/mount_status.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/sysmacros.h>

namespace anchorfs {

namespace {

constexpr unsigned wanted = STATX_BASIC_STATS | STATX_MNT_ID;

void fill_status(const struct statx& x, struct stat& status)
{
    status = {};
    status.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    status.st_ino = static_cast<ino_t>(x.stx_ino);
    status.st_mode = x.stx_mode;
    status.st_nlink = static_cast<nlink_t>(x.stx_nlink);
    status.st_uid = x.stx_uid;
    status.st_gid = x.stx_gid;
    status.st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    status.st_size = static_cast<off_t>(x.stx_size);
    status.st_blksize = static_cast<blksize_t>(x.stx_blksize);
    status.st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
    status.st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
    status.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    status.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
}

int refuse_mount_root(int result, const mount_place& place)
{
    if (result != 0)
        return -1;
    if (place.mount_root) {
        errno = ESTALE;
        return -1;
    }
    return 0;
}

} // namespace

int status_with_mount(int dir, const char* name, int flags, struct stat& status, mount_place& place)
{
    struct statx x;
    if (::statx(dir, name, flags, wanted, &x) != 0)
        return -1;
    if ((x.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0 || (x.stx_mask & STATX_MNT_ID) == 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    fill_status(x, status);
    place.mount_id = x.stx_mnt_id;
    place.mount_root = (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return 0;
}

int status_below(int dir, const char* name, struct stat& status)
{
    mount_place place;
    return refuse_mount_root(status_with_mount(dir, name, AT_SYMLINK_NOFOLLOW, status, place), place);
}

int descriptor_status_below(int fd, struct stat& status)
{
    mount_place place;
    return refuse_mount_root(status_with_mount(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, status, place), place);
}

int descriptor_mount_id(int fd, std::uint64_t& mount_id)
{
    struct stat status;
    mount_place place;
    if (status_with_mount(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, status, place) != 0)
        return -1;
    mount_id = place.mount_id;
    return 0;
}

} // namespace anchorfs
