#pragma once

#include "core/command.hpp"

namespace anchorfs {

enum class command_id {
    none,
    bookmark_parent,
    recover_unlink,
    recover_rename,
    recover_swap,
    recover_link,
    rename_excl,
    link_excl,
    rename_swap,
    unlink_checked,
    quarantine_private_tree,
    remove_private_tree,
    create_private_file_staged,
    remove_private_staging_file,
    read_private_file,
    read_external_file,
    remove_private_file,
    ensure_dir,
    ensure_private_dir,
    create_file,
    create_private_file,
};

// The first command whose name and argument count both match, in table order;
// command_id::none when none does.
command_id find_command(const char* name, int argc);

// How many descriptors the run must still be able to open before a command's
// first change: the most its handler holds at once, plus the run-wide ones.
unsigned descriptor_budget(command_id id);

// Runs the handler of a found command: 0 on success, -1 with errno set.
int run_command(command_id id, const command_context& context, command_report& report);

} // namespace anchorfs
