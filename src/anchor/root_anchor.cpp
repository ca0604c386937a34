#include "anchor/root_anchor.hpp"

#include "platform/directory_open.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

static bool same_identity_numbers(const struct stat& status, std::uint64_t device, std::uint64_t inode,
                                  std::uint64_t owner_uid)
{
    return S_ISDIR(status.st_mode) && static_cast<std::uint64_t>(status.st_dev) == device
           && static_cast<std::uint64_t>(status.st_ino) == inode
           && static_cast<std::uint64_t>(status.st_uid) == owner_uid;
}

unique_fd open_root(root_anchor& root)
{
    unique_fd fd = open_directory_path(root.path);
    if (!fd.valid())
        return fd;
    mount_place place;
    if (status_with_mount(fd.get(), "", AT_EMPTY_PATH, root.status, place) != 0)
        return {};
    root.mount_id = place.mount_id;
    if (!same_identity_numbers(root.status, root.device, root.inode, root.owner_uid)) {
        errno = ESTALE;
        return {};
    }
    return fd;
}

// dup() leaves the copy inheritable; every descriptor of a run is close-on-exec.
static unique_fd duplicate_root(int root_fd)
{
    unique_fd copy(::dup(root_fd));
    if (copy.valid() && ::fcntl(copy.get(), F_SETFD, FD_CLOEXEC) != 0)
        return {};
    return copy;
}

enum class walk_kind { plain, owner_checked };

static int walk_error(walk_kind kind)
{
    return kind == walk_kind::plain ? EXDEV : ESTALE;
}

// The component check of every walk: a directory on the root's device and
// mount (and, for the owner-checked walk, owned by the root's owner). A
// component opened by name from a directory on the root's mount is on that
// mount unless a mount is placed on the name, so refusing mount roots keeps
// the whole walk on the root's mount.
static bool component_belongs(int fd, const struct stat& root_status, walk_kind kind, struct stat& status,
                              mount_place& place)
{
    errno = 0;
    if (status_with_mount(fd, "", AT_EMPTY_PATH, status, place) != 0)
        return false;
    if (place.mount_root) {
        errno = walk_error(kind);
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_dev != root_status.st_dev)
        return false;
    return kind == walk_kind::plain || status.st_uid == root_status.st_uid;
}

// The start of an owner-checked walk: the root itself, which may be a mount point.
static bool root_owned(int fd, const struct stat& root_status)
{
    struct stat status;
    errno = 0;
    if (::fstat(fd, &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_dev == root_status.st_dev && status.st_uid == root_status.st_uid;
}

// The status of the directory a walk ended on, with the mount it is on, as
// the walk's last component check took it.
struct walked_status {
    struct stat status;
    mount_place place;
};

// Walks the '/'-separated components of `components` (modified in place) from
// `start`, which the walk borrows; returns the final descriptor (empty on
// failure) and its status in `last`.
static unique_fd walk_components(int start, const struct stat& root_status, char* components, walk_kind kind,
                                 walked_status& last)
{
    unique_fd current;
    char* component = components;
    while (component != nullptr) {
        char* slash = std::strchr(component, '/');
        if (slash != nullptr)
            *slash = '\0';
        unique_fd next = open_directory_at(current.valid() ? current.get() : start, component);
        if (!next.valid())
            return next;
        if (!component_belongs(next.get(), root_status, kind, last.status, last.place)) {
            if (errno == 0)
                errno = walk_error(kind);
            return {};
        }
        current = std::move(next);
        component = slash != nullptr ? slash + 1 : nullptr;
    }
    return current;
}

static unique_fd open_parent_walk(const root_anchor& root, const char* relative_path, leaf_buffer& leaf,
                                  walk_kind kind, walked_status& last)
{
    if (!valid_relative_path(relative_path)) {
        errno = EINVAL;
        return {};
    }
    // Static, like every buffer of a path's size: a run must fit a 64 KiB stack.
    static char copy[relative_path_limit + 1];
    std::strcpy(copy, relative_path); // fits: a valid path has at most 4096 bytes
    char* last_slash = std::strrchr(copy, '/');
    // Fits the leaf buffer: a valid path's components have at most 255 bytes.
    const char* name = last_slash != nullptr ? last_slash + 1 : copy;
    if (kind == walk_kind::owner_checked && !root_owned(root.fd, root.status)) {
        if (errno == 0)
            errno = ESTALE;
        return {};
    }
    std::strcpy(leaf, name);
    if (last_slash == nullptr) {
        // A copy of the root's descriptor: the root's status and mount, as
        // open_root took them through it.
        last.status = root.status;
        last.place = mount_place{root.mount_id, false};
        return duplicate_root(root.fd);
    }
    *last_slash = '\0';
    return walk_components(root.fd, root.status, copy, kind, last);
}

unique_fd open_parent(const root_anchor& root, const char* relative_path, leaf_buffer& leaf)
{
    walked_status last;
    return open_parent_walk(root, relative_path, leaf, walk_kind::plain, last);
}

unique_fd open_private_parent(const root_anchor& root, const char* relative_path, leaf_buffer& leaf)
{
    walked_status last;
    return open_parent_walk(root, relative_path, leaf, walk_kind::owner_checked, last);
}

int open_two_parents(const root_anchor& root, const char* first_path, const char* second_path, held_parent& first,
                     held_parent& second)
{
    first.fd = open_parent(root, first_path, first.leaf);
    first.path = first_path;
    if (!first.fd.valid())
        return -1;
    second.fd = open_parent(root, second_path, second.leaf);
    second.path = second_path;
    if (!second.fd.valid()) {
        first.fd.reset();
        return -1;
    }
    return 0;
}

unique_fd open_relative_directory(const root_anchor& root, const char* relative_path)
{
    if (relative_path != nullptr && std::strcmp(relative_path, ".") == 0)
        return duplicate_root(root.fd);
    if (relative_path == nullptr || !valid_relative_path(relative_path)) {
        errno = EINVAL;
        return {};
    }
    static char copy[relative_path_limit + 1];
    std::strcpy(copy, relative_path);
    walked_status last;
    return walk_components(root.fd, root.status, copy, walk_kind::plain, last);
}

int open_held_parent(const root_anchor& root, const char* relative_path, held_parent& parent)
{
    parent.fd = open_parent(root, relative_path, parent.leaf);
    parent.path = relative_path;
    return parent.fd.valid() ? 0 : -1;
}

int open_held_private_parent(const root_anchor& root, const char* relative_path, held_parent& parent)
{
    parent.fd = open_private_parent(root, relative_path, parent.leaf);
    parent.path = relative_path;
    return parent.fd.valid() ? 0 : -1;
}

// Whether the directory whose status and mount were taken as `a` is the one
// behind the descriptor `second`; ESTALE when it is not.
static bool same_directory_as(const struct stat& a, const mount_place& a_place, int second)
{
    struct stat b;
    mount_place b_place;
    if (status_with_mount(second, "", AT_EMPTY_PATH, b, b_place) != 0)
        return false;
    // The same directory seen through another mount is another place.
    if (S_ISDIR(a.st_mode) && S_ISDIR(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino
        && a_place.mount_id == b_place.mount_id)
        return true;
    errno = ESTALE;
    return false;
}

bool same_directory_descriptor(int first, int second)
{
    struct stat a;
    mount_place a_place;
    if (status_with_mount(first, "", AT_EMPTY_PATH, a, a_place) != 0)
        return false;
    return same_directory_as(a, a_place, second);
}

bool directory_identity(int fd, std::uint64_t device, std::uint64_t inode, std::uint64_t owner_uid)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return false;
    if (same_identity_numbers(status, device, inode, owner_uid))
        return true;
    errno = ESTALE;
    return false;
}

bool held_parent_matches(const root_anchor& root, const char* relative_path, int held_fd)
{
    leaf_buffer leaf;
    walked_status last;
    unique_fd walked = open_parent_walk(root, relative_path, leaf, walk_kind::plain, last);
    if (!walked.valid())
        return false;
    // The walk's own look at its last directory is the walked side of the
    // comparison. A refusal sets errno: ESTALE, or the status call's own error.
    return same_directory_as(last.status, last.place, held_fd);
}

bool paths_still_anchored(const root_anchor& root, anchored_pair first, anchored_pair second,
                          anchored_pair third)
{
    root_anchor fresh = root; // open_root refills its status and mount
    unique_fd fresh_fd = open_root(fresh);
    if (!fresh_fd.valid())
        return false;
    fresh.fd = fresh_fd.get();
    // The root's path leading to the same directory through another mount
    // (a bind mount placed over it) is not the root this run verified.
    if (fresh.mount_id != root.mount_id) {
        errno = ESTALE;
        return false;
    }
    errno = 0;
    bool anchored = held_parent_matches(fresh, first.path, first.held_fd);
    if (anchored && second.path != nullptr)
        anchored = held_parent_matches(fresh, second.path, second.held_fd);
    if (anchored && third.path != nullptr)
        anchored = held_parent_matches(fresh, third.path, third.held_fd);
    if (anchored)
        return true;
    if (errno == 0)
        errno = ESTALE;
    return false;
}

} // namespace anchorfs
