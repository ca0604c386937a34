#include "platform/file_reference.hpp"

#include "platform/descriptor_path.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace anchorfs {

file_reference file_reference_of(unique_fd object, const struct stat& status, const mount_place& place)
{
    file_reference reference;
    reference.device = static_cast<std::uint64_t>(status.st_dev);
    reference.inode = static_cast<std::uint64_t>(status.st_ino);
    reference.mount_id = place.mount_id;
    reference.type = static_cast<mode_t>(status.st_mode & S_IFMT);
    reference.object = std::move(object);
    return reference;
}

int file_reference_at(int dir, const char* name, file_reference& reference, struct stat* status)
{
    // One name below a held directory: the kernel walks no path of ours, and
    // O_PATH opens nothing (a FIFO or device is held, not opened for I/O).
    unique_fd object(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!object.valid())
        return -1;
    struct stat held;
    mount_place place;
    if (status_with_mount(object.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, held, place) != 0)
        return -1;
    // A mount placed on the name would lead off the held directory's mount.
    if (place.mount_root) {
        errno = ESTALE;
        return -1;
    }
    reference = file_reference_of(std::move(object), held, place);
    if (status != nullptr)
        *status = held;
    return 0;
}

bool same_file_reference(const file_reference& first, const file_reference& second)
{
    return first.device == second.device && first.inode == second.inode && first.mount_id == second.mount_id;
}

bool valid_file_reference(const file_reference& reference)
{
    struct stat status;
    mount_place place;
    if (status_with_mount(reference.object.get(), "", AT_EMPTY_PATH, status, place) != 0)
        return false;
    if (static_cast<std::uint64_t>(status.st_dev) != reference.device
        || static_cast<std::uint64_t>(status.st_ino) != reference.inode || (status.st_mode & S_IFMT) != reference.type
        || place.mount_id != reference.mount_id) {
        errno = ESTALE;
        return false;
    }
    return true;
}

int file_reference_path(const file_reference& reference, char* buffer)
{
    return descriptor_path(reference.object.get(), buffer);
}

int delete_by_reference(const file_reference& reference)
{
    if (reference.bound_dir < 0 || reference.bound_name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat named;
    if (status_below(reference.bound_dir, reference.bound_name, named) != 0)
        return -1;
    return delete_by_reference(reference, named);
}

int delete_by_reference(const file_reference& reference, const struct stat& named)
{
    if (reference.bound_dir < 0 || reference.bound_name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (static_cast<std::uint64_t>(named.st_dev) != reference.device
        || static_cast<std::uint64_t>(named.st_ino) != reference.inode
        || (named.st_mode & S_IFMT) != reference.type) {
        errno = ESTALE;
        return -1;
    }
    // The window that remains: between the look at the name and the unlinkat
    // below another process could rename a different entry onto this name, and
    // the unlinkat would remove that entry instead. Linux has no unlink by
    // descriptor and no conditional unlink, so two adjacent calls through the
    // held directory are the narrowest form it offers. The link count of the
    // referenced object, read below against the one the name showed, tells
    // afterwards whether it was the object removed, so such a substitution is
    // at least reported, never taken for success.
    if (::unlinkat(reference.bound_dir, reference.bound_name, reference.directory() ? AT_REMOVEDIR : 0) != 0)
        return -1;
    struct stat after;
    if (::fstat(reference.object.get(), &after) != 0)
        return -1;
    bool removed = reference.directory() ? after.st_nlink == 0 : after.st_nlink < named.st_nlink;
    if (!removed) {
        errno = ESTALE;
        return -1;
    }
    return 0;
}

} // namespace anchorfs
