// Handlers of the private-store commands.
#pragma once

#include "anchor/root_anchor.hpp"
#include "core/command.hpp"

namespace anchorfs {

int run_create_private_file_staged(const command_context& context, command_report& report);
int run_remove_private_staging_file(const command_context& context, command_report& report);
int run_read_private_file(const command_context& context, command_report& report);
int run_read_external_file(const command_context& context, command_report& report);
int run_remove_private_file(const command_context& context, command_report& report);
int run_remove_private_tree(const command_context& context, command_report& report);
int run_quarantine_private_tree(const command_context& context, command_report& report);

} // namespace anchorfs
