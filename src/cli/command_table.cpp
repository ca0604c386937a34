#include "cli/command_table.hpp"

#include "anchor/anchor_commands.hpp"
#include "commands/commands.hpp"
#include "private_store/private_commands.hpp"
#include "recovery/recovery.hpp"

#include <cstring>

namespace anchorfs {

namespace {
// Order matters: names are tried from the top, and a name whose count differs
// simply does not match.
//
// `descriptors` counts what the handler itself holds open at once, besides the
// standard streams and the root the front end holds (measured by running each
// command under every descriptor limit from 3 up; the fault campaign records
// the highest descriptor any failing road opened). descriptor_budget adds the
// run-wide handles. remove-private-tree holds more the deeper it goes: its
// number covers two levels; a deeper tree may stop part-way with EMFILE, a
// state of a quarantined tree that its next run settles.
constexpr command_entry command_table[] = {
    {"bookmark-parent", 7, run_bookmark_parent, 4},
    {"recover-unlink", 32, run_recover_unlink, 7},
    {"recover-rename", 26, run_recover_rename, 4},
    {"recover-swap", 34, run_recover_swap, 4},
    {"recover-link", 38, run_recover_link, 8},
    {"rename-excl", 13, run_rename_excl, 5},
    {"link-excl", 18, run_link_excl, 7},
    {"rename-swap", 18, run_rename_swap, 5},
    {"unlink-checked", 17, run_unlink_checked, 7},
    {"quarantine-private-tree", 8, run_quarantine_private_tree, 5},
    {"remove-private-tree", 9, run_remove_private_tree, 7},
    {"create-private-file-staged", 9, run_create_private_file_staged, 6},
    {"remove-private-staging-file", 8, run_remove_private_staging_file, 5},
    {"read-private-file", 8, run_read_private_file, 5},
    {"read-external-file", 11, run_read_external_file, 5},
    {"remove-private-file", 9, run_remove_private_file, 5},
    {"ensure-dir", 7, run_ensure_dir, 5},
    {"ensure-private-dir", 7, run_ensure_private_dir, 5},
    {"create-file", 9, run_create_file, 5},
    {"create-private-file", 8, run_create_private_file, 5},
};
} // namespace

unsigned descriptor_budget(const command_entry& command)
{
    // One more than the table says, for a descriptor the run holds besides the
    // root (opened at start or on first use, so counted here in either case).
    constexpr unsigned run_wide = 1;
    return command.descriptors + run_wide;
}

const command_entry* find_command(const char* name, int argc)
{
    for (const command_entry& entry : command_table) {
        if (argc == entry.argc && std::strcmp(name, entry.name) == 0)
            return &entry;
    }
    return nullptr;
}

} // namespace anchorfs
