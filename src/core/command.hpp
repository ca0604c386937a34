// What the front end hands a command handler, and what a handler reports back
// besides its result and errno.
#pragma once

#include "core/argument_forms.hpp"

#include <sys/vfs.h>

namespace anchorfs {

// Defined with the walkers (anchor/root_anchor.hpp); handlers include it there.
struct root_anchor;

// The file-system status of the root, taken once at start-up.
struct filesystem_status {
    struct statfs status {};
    int error = 0; // 0 when the status was obtained
};

// Slots 0 to 5 of the argument vector are the program, the command's name and
// the root's path, device, inode and owner; a command's own arguments follow.
inline constexpr int first_own_slot = 6;

struct command_context {
    const root_anchor& root;
    argument_vector own; // the command's own arguments: own[0] is slot first_own_slot
    const filesystem_status& filesystem;
};

struct command_report {
    const char* race_code = nullptr; // set only by handlers that report races
    bool printed = false;            // the handler printed its own success output
    bool undelivered = false;        // ... but could not write all of it
};

} // namespace anchorfs
