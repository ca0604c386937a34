// What the front end hands a command handler, and what a handler reports back
// besides its result and errno.
#pragma once

#include "core/argument_forms.hpp"
#include "platform/owners.hpp"

#include <sys/stat.h>
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

// The shapes of a success line (core/result_line.hpp prints them).
enum class success_shape {
    plain,            // {"ok":true}
    size_and_content, // the size line, then `bytes` unframed
    directory,        // the identity and mode of `status`
    bookmark,         // `bytes` as hexadecimal, then the identity of `status`
};

// What a handler that succeeded has to say. The front end prints it once the
// handler has returned, so a handler never writes to standard output and a
// failing check after its last read leaves no byte there.
struct success_output {
    success_shape shape = success_shape::plain;
    struct stat status {};
    unique_buffer bytes;
};

struct command_report {
    const char* race_code = nullptr; // set only by handlers that report races
    success_output success;          // read only when the handler returned 0
};

} // namespace anchorfs
