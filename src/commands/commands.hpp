// Handlers of the anchored mutation commands.
#pragma once

#include "anchor/root_anchor.hpp"
#include "core/command.hpp"

namespace anchorfs {

int run_ensure_dir(const command_context& context, command_report& report);
int run_ensure_private_dir(const command_context& context, command_report& report);
int run_create_file(const command_context& context, command_report& report);
int run_create_private_file(const command_context& context, command_report& report);
int run_rename_excl(const command_context& context, command_report& report);
int run_rename_swap(const command_context& context, command_report& report);
int run_unlink_checked(const command_context& context, command_report& report);
int run_link_excl(const command_context& context, command_report& report);

} // namespace anchorfs
