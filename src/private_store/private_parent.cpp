#include "private_store/private_parent.hpp"

#include "platform/descriptor_path.hpp"
#include "platform/mount_status.hpp"
#include "steps/hardening.hpp"

#include <cerrno>
#include <fcntl.h>

namespace anchorfs {

namespace {

int open_hardened(const root_anchor& root, const char* path, bool binds_reference, held_parent& parent)
{
    if (open_held_private_parent(root, path, parent) != 0)
        return -1;
    if (binds_reference && entry_path_fits(parent.fd.get(), parent.leaf) != 0)
        return -1;
    if (!parents_still_anchored(root, parent) || !harden_private_directory(parent.fd.get(), root.status)
        || !parents_still_anchored(root, parent))
        return -1;
    return 0;
}

} // namespace

int open_hardened_private_parent(const root_anchor& root, const char* path, held_parent& parent)
{
    return open_hardened(root, path, false, parent);
}

int open_private_entry_to_remove(const root_anchor& root, const char* path, held_parent& parent,
                                 struct stat& status, mount_place* place)
{
    if (open_hardened(root, path, true, parent) != 0)
        return -1;
    int looked = place != nullptr
                     ? status_with_mount(parent.fd.get(), parent.leaf, AT_SYMLINK_NOFOLLOW, status, *place)
                     : status_below(parent.fd.get(), parent.leaf, status);
    if (looked != 0)
        return errno == ENOENT ? 0 : -1;
    return 1;
}

} // namespace anchorfs
