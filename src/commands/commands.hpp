// Handlers of the anchored mutation commands.
#pragma once

#include "protocol/command.hpp"

namespace anchorfs {

int run_ensure_dir(const command_context& context, command_report& report);
int run_ensure_private_dir(const command_context& context, command_report& report);

} // namespace anchorfs
