// The anchored root, the walkers that reach held parents below it, and the
// re-proof that held parents are still where their paths say.
#pragma once

#include "core/argument_forms.hpp"
#include "platform/owners.hpp"

#include <cstdint>
#include <sys/stat.h>

namespace anchorfs {

using leaf_buffer = char[leaf_capacity];

// Held by the front end for the whole run; status and mount_id are filled by
// open_root, and fd borrows the descriptor it returned (the front end owns it).
struct root_anchor {
    const char* path = nullptr;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t owner_uid = 0;
    int fd = -1;
    struct stat status {};
    // The mount the root was verified on; every object a run touches is on it.
    std::uint64_t mount_id = 0;
};

// A parent descriptor with the leaf name of the entry inside it, and the
// relative path it was reached by (set by the openers below).
struct held_parent {
    unique_fd fd;
    leaf_buffer leaf{};
    const char* path = nullptr;
};

// One (relative path, held parent descriptor) pair of an anchoring check; a
// pair without a path is skipped.
struct anchored_pair {
    const char* path = nullptr;
    int held_fd = -1;
};

// Opens root.path and proves it is the directory root.device, root.inode and
// root.owner_uid name; the root may itself be a mount point. Fills
// root.status and root.mount_id (the mount it was opened on); root.fd is left
// for the caller to point at the returned descriptor.
unique_fd open_root(root_anchor& root);

unique_fd open_parent(const root_anchor& root, const char* relative_path, leaf_buffer& leaf);
unique_fd open_private_parent(const root_anchor& root, const char* relative_path, leaf_buffer& leaf);
int open_two_parents(const root_anchor& root, const char* first_path, const char* second_path, held_parent& first,
                     held_parent& second);
unique_fd open_relative_directory(const root_anchor& root, const char* relative_path);

// Convenience forms that fill a held_parent.
int open_held_parent(const root_anchor& root, const char* relative_path, held_parent& parent);
int open_held_private_parent(const root_anchor& root, const char* relative_path, held_parent& parent);

bool same_directory_descriptor(int first, int second);
bool directory_identity(int fd, std::uint64_t device, std::uint64_t inode, std::uint64_t owner_uid);
bool held_parent_matches(const root_anchor& root, const char* relative_path, int held_fd);
bool paths_still_anchored(const root_anchor& root, anchored_pair first, anchored_pair second = {},
                          anchored_pair third = {});

// The same check for parents the openers above filled, by the paths they were
// reached by.
inline anchored_pair anchored_pair_of(const held_parent& parent)
{
    return {parent.path, parent.fd.get()};
}
inline bool parents_still_anchored(const root_anchor& root, const held_parent& first)
{
    return paths_still_anchored(root, anchored_pair_of(first));
}
inline bool parents_still_anchored(const root_anchor& root, const held_parent& first, const held_parent& second)
{
    return paths_still_anchored(root, anchored_pair_of(first), anchored_pair_of(second));
}
inline bool parents_still_anchored(const root_anchor& root, const held_parent& first, const held_parent& second,
                                   const held_parent& third)
{
    return paths_still_anchored(root, anchored_pair_of(first), anchored_pair_of(second), anchored_pair_of(third));
}

} // namespace anchorfs
