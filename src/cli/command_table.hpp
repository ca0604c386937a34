#pragma once

#include "core/command.hpp"

namespace anchorfs {

using command_handler = int (*)(const command_context& context, command_report& report);

// One row per command: adding a command touches this table and nothing else
// of the front end.
struct command_entry {
    const char* name;
    command_handler run;    // 0 on success, -1 with errno set
    int argc;               // the whole argument vector, program name included
    unsigned descriptors;   // the most the handler holds open at once
};

// The first row whose name and argument count both match, in table order;
// null when none does.
const command_entry* find_command(const char* name, int argc);

// How many descriptors the run must still be able to open before a command's
// first change: the most its handler holds at once, plus the run-wide ones.
unsigned descriptor_budget(const command_entry& command);

} // namespace anchorfs
