// The opening every private-store command that works on one entry shares.
#pragma once

#include "anchor/root_anchor.hpp"
#include "platform/mount_status.hpp"

#include <sys/stat.h>

namespace anchorfs {

// Opens the private parent of `path`, proves it anchored, hardens it to 0700
// and proves it anchored again. 0, or -1 with errno.
int open_hardened_private_parent(const root_anchor& root, const char* path, held_parent& parent);

// The opening of the remove commands, which delete through a reference bound
// through the entry's name: as above, after proving (before anything is
// hardened) that the full path the binding needs can be read and fits; then
// the entry's status. 1 with `status` filled, 0 when the name is free (nothing
// to remove), -1 with errno. A mount at the name fails with ESTALE, unless
// `place` is given: it then tells the mount and the caller decides.
int open_private_entry_to_remove(const root_anchor& root, const char* path, held_parent& parent,
                                 struct stat& status, mount_place* place = nullptr);

} // namespace anchorfs
