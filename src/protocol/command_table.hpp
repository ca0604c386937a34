#pragma once

#include "protocol/command.hpp"

namespace anchorfs {

enum class command_id {
    none,
    ensure_dir,
    ensure_private_dir,
};

// The first command whose name and argument count both match, in table order;
// command_id::none when none does.
command_id find_command(const char* name, int argc);

// Runs the handler of a found command: 0 on success, -1 with errno set.
int run_command(command_id id, const command_context& context, command_report& report);

} // namespace anchorfs
