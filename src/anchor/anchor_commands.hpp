#pragma once

#include "protocol/command.hpp"

namespace anchorfs {

int run_bookmark_parent(const command_context& context, command_report& report);

} // namespace anchorfs
