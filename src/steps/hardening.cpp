#include "steps/hardening.hpp"

#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/failures.hpp"
#include "platform/mount_status.hpp"
#include "platform/owners.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// A handle on the object under the name that needs no permission on the object
// itself: a mode that denies its own owner reading (0000, 0200) must not keep
// that owner from hardening or removing it.
unique_fd open_handle_at(int parent, const char* name, int type_flag)
{
    return unique_fd(::openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC | type_flag));
}

} // namespace

int private_directory_open_flags()
{
    return O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
}

bool on_root_device_and_owner(const struct stat& status, const struct stat& root_status)
{
    return status.st_dev == root_status.st_dev && status.st_uid == root_status.st_uid;
}

bool harden_private_directory(int dir, const struct stat& root_status)
{
    struct stat before;
    if (::fstat(dir, &before) != 0)
        return false;
    if (!S_ISDIR(before.st_mode) || !on_root_device_and_owner(before, root_status))
        return fail_identity_changed();
    if (::fchmod(dir, 0700) != 0)
        return false;
    struct stat after;
    if (::fstat(dir, &after) != 0)
        return false;
    if (!S_ISDIR(after.st_mode) || after.st_dev != before.st_dev || after.st_ino != before.st_ino
        || after.st_uid != before.st_uid || (after.st_mode & 0777) != 0700)
        return fail_identity_changed();
    return true;
}

bool open_hardened_private_directory_at(int parent, const char* name, const struct stat& root_status,
                                        const struct stat* expected, unique_fd& opened, struct stat& final_status)
{
    struct stat named;
    if (status_below(parent, name, named) != 0)
        return false;
    if (!S_ISDIR(named.st_mode) || (expected != nullptr && !same_directory_identity(*expected, named))
        || !on_root_device_and_owner(named, root_status))
        return fail_identity_changed();
    unique_fd handle = open_handle_at(parent, name, O_DIRECTORY);
    if (!handle.valid())
        return false;
    struct stat held;
    if (descriptor_status_below(handle.get(), held) != 0)
        return false;
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino || held.st_uid != root_status.st_uid)
        return fail_identity_changed();
    // Hardened through the handle, so that the directory is opened for
    // listing only once it is owner-only.
    if (change_mode_through_descriptor(handle.get(), 0700) != 0)
        return false;
    // Reopened through the handle's own entry: the same object whatever its
    // name is now. The look through the new descriptor is both the proof that
    // it is that object and the status after hardening; hardening it again
    // through this descriptor would write the mode just written and look at
    // the same descriptor twice more with nothing in between.
    unique_fd fd = reopen_through_descriptor(handle.get(), private_directory_open_flags() & ~O_NOFOLLOW);
    if (!fd.valid())
        return false;
    struct stat reopened;
    if (descriptor_status_below(fd.get(), reopened) != 0)
        return false;
    if (reopened.st_dev != held.st_dev || reopened.st_ino != held.st_ino || reopened.st_uid != root_status.st_uid)
        return fail_identity_changed();
    handle.reset();
    held = reopened;
    struct stat renamed;
    if (status_below(parent, name, renamed) != 0)
        return false;
    if (!S_ISDIR(held.st_mode) || !S_ISDIR(renamed.st_mode) || held.st_dev != renamed.st_dev
        || held.st_ino != renamed.st_ino || held.st_uid != renamed.st_uid || (held.st_mode & 0777) != 0700
        || held.st_mode != renamed.st_mode)
        return fail_identity_changed();
    opened = std::move(fd);
    final_status = held;
    return true;
}

bool harden_private_regular_entry(int parent, const char* name, const struct stat& root_status,
                                  const struct stat& named, file_reference& held, struct stat& final_status)
{
    if (!S_ISREG(named.st_mode) || !on_root_device_and_owner(named, root_status) || named.st_nlink != 1)
        return fail_identity_changed();
    unique_fd fd = open_handle_at(parent, name, 0);
    if (!fd.valid())
        return false;
    // Taken with the mount the handle is on: a reference made from the handle
    // needs it.
    struct stat status;
    mount_place place;
    if (status_with_mount(fd.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, status, place) != 0)
        return false;
    if (place.mount_root || !S_ISREG(status.st_mode) || status.st_dev != named.st_dev
        || status.st_ino != named.st_ino || status.st_uid != root_status.st_uid || status.st_nlink != 1)
        return fail_identity_changed();
    // A file already at exactly 0600 (as the validation before a tree's
    // removal leaves it) would be written the mode it has and looked at again
    // through the same handle with nothing changed in between: the look above
    // is then the one after hardening.
    if ((status.st_mode & 07777) != 0600) {
        if (change_mode_through_descriptor(fd.get(), 0600) != 0
            || status_with_mount(fd.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, status, place) != 0)
            return false;
    }
    if (place.mount_root || !S_ISREG(status.st_mode) || !on_root_device_and_owner(status, root_status)
        || status.st_nlink != 1 || (status.st_mode & 0777) != 0600)
        return fail_identity_changed();
    struct stat renamed;
    if (status_below(parent, name, renamed) != 0)
        return false;
    if (!same_regular_identity(status, renamed))
        return fail_identity_changed();
    held = file_reference_of(std::move(fd), status, place);
    final_status = status;
    return true;
}

bool harden_private_regular_at(int parent, const char* name, const struct stat& root_status,
                               const struct stat* expected, struct stat& final_status)
{
    struct stat named;
    if (status_below(parent, name, named) != 0)
        return false;
    if (!S_ISREG(named.st_mode) || (expected != nullptr && !same_regular_identity(*expected, named)))
        return fail_identity_changed();
    file_reference held;
    return harden_private_regular_entry(parent, name, root_status, named, held, final_status);
}

bool private_tree_entry_status(int dir, const char* name, const struct stat& root_status, std::uint64_t& budget,
                               struct stat& status)
{
    if (budget == 0) {
        errno = E2BIG;
        return false;
    }
    --budget;
    errno = 0;
    if (status_below(dir, name, status) != 0)
        return false;
    if (!on_root_device_and_owner(status, root_status))
        return fail_call_or_stale();
    return true;
}

bool validate_private_tree_descriptor(int dir, const struct stat& root_status, std::uint64_t& budget,
                                      std::uint64_t depth, std::uint64_t depth_limit)
{
    if (depth > depth_limit) {
        errno = E2BIG;
        return false;
    }
    unique_fd listing(::openat(dir, ".", private_directory_open_flags()));
    if (!listing.valid())
        return false;
    unique_dir stream(::fdopendir(listing.get()));
    if (stream.dir == nullptr)
        return false;
    static_cast<void>(listing.release()); // now owned by the stream

    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream.dir);
        if (entry == nullptr) {
            if (errno != 0)
                return false;
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat status;
        if (!private_tree_entry_status(dir, name, root_status, budget, status))
            return false;
        if (S_ISDIR(status.st_mode)) {
            unique_fd child;
            struct stat child_status;
            if (!open_hardened_private_directory_at(dir, name, root_status, &status, child, child_status))
                return false;
            if (!validate_private_tree_descriptor(child.get(), root_status, budget, depth + 1, depth_limit))
                return false;
        } else if (S_ISREG(status.st_mode)) {
            file_reference held;
            struct stat hardened;
            if (!harden_private_regular_entry(dir, name, root_status, status, held, hardened))
                return false;
        } else {
            return fail_identity_changed(); // symbolic link, FIFO, socket or device node
        }
    }
    stream.reset();
    struct stat top;
    errno = 0;
    if (::fstat(dir, &top) != 0)
        return false;
    if (!S_ISDIR(top.st_mode) || !on_root_device_and_owner(top, root_status) || (top.st_mode & 0777) != 0700)
        return fail_identity_changed();
    return true;
}

} // namespace anchorfs
