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
//
// A recover command opens its bookmarked groups one after another, and the
// search by inode for the last one's directory runs while the earlier groups
// are held: its number is at least those and what the search holds.
constexpr unsigned recovery_descriptors(unsigned groups, unsigned afterwards)
{
    const unsigned searching = groups - 1 + directory_by_inode_descriptors;
    return searching > afterwards ? searching : afterwards;
}

constexpr command_entry command_table[] = {
    {"bookmark-parent", run_bookmark_parent, 7, 4},
    {"recover-unlink", run_recover_unlink, 32, recovery_descriptors(3, 7)},
    {"recover-rename", run_recover_rename, 26, recovery_descriptors(2, 4)},
    {"recover-swap", run_recover_swap, 34, recovery_descriptors(2, 4)},
    {"recover-link", run_recover_link, 38, recovery_descriptors(4, 8)},
    {"rename-excl", run_rename_excl, 13, 5},
    {"link-excl", run_link_excl, 18, 7},
    {"rename-swap", run_rename_swap, 18, 5},
    {"unlink-checked", run_unlink_checked, 17, 7},
    {"quarantine-private-tree", run_quarantine_private_tree, 8, 5},
    {"remove-private-tree", run_remove_private_tree, 9, 7},
    {"create-private-file-staged", run_create_private_file_staged, 9, 6},
    {"remove-private-staging-file", run_remove_private_staging_file, 8, 5},
    {"read-private-file", run_read_private_file, 8, 5},
    {"read-external-file", run_read_external_file, 11, 5},
    {"remove-private-file", run_remove_private_file, 9, 5},
    {"ensure-dir", run_ensure_dir, 7, 5},
    {"ensure-private-dir", run_ensure_private_dir, 7, 5},
    {"create-file", run_create_file, 9, 5},
    {"create-private-file", run_create_private_file, 8, 5},
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
