#pragma once

#include "anchor/root_anchor.hpp"
#include "core/command.hpp"

namespace anchorfs {

int run_bookmark_parent(const command_context& context, command_report& report);

} // namespace anchorfs
