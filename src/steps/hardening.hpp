// Owner-only modes for the private store: directories at 0700 and single-link
// regular files at 0600, on the root's device and owned by the root's owner.
// A mode once hardened is never set back, also when a later step fails.
#pragma once

#include "platform/file_reference.hpp"
#include "platform/owners.hpp"

#include <cstdint>
#include <sys/stat.h>

namespace anchorfs {


bool harden_private_directory(int dir, const struct stat& root_status);

// Opens the named subdirectory without following links, proves it is the
// directory the name designates before and after, and hardens it. `expected`
// may be null. On true the caller owns *opened and *final_status is filled.
bool open_hardened_private_directory_at(int parent, const char* name, const struct stat& root_status,
                                        const struct stat* expected, unique_fd& opened, struct stat& final_status);

bool harden_private_regular_at(int parent, const char* name, const struct stat& root_status,
                               const struct stat* expected, struct stat& final_status);

// harden_private_regular_at for a caller whose last call was the look at the
// name that gave `named` (the status before hardening; status_below): the
// name is not looked at again before the open. On true `held` is a reference
// made from the handle the file was hardened through, bound to nothing yet,
// whose own status is *final_status.
bool harden_private_regular_entry(int parent, const char* name, const struct stat& root_status,
                                  const struct stat& named, file_reference& held, struct stat& final_status);

// The status of an entry met by a walk of a private tree, charged to the
// budget (E2BIG once it is spent) and proven on the root's device and owned by
// the root's owner (ESTALE).
bool private_tree_entry_status(int dir, const char* name, const struct stat& root_status, std::uint64_t& budget,
                               struct stat& status);

// Hardens and validates the whole tree below dir within the entry budget and
// depth limit; the budget keeps what was consumed, on failure too.
bool validate_private_tree_descriptor(int dir, const struct stat& root_status, std::uint64_t& budget,
                                      std::uint64_t depth, std::uint64_t depth_limit);

// The flags of private directory opens.
int private_directory_open_flags();

// Whether a status record is on the root's device and owned by the root's owner.
bool on_root_device_and_owner(const struct stat& status, const struct stat& root_status);

} // namespace anchorfs
