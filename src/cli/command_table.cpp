#include "cli/command_table.hpp"

#include "anchor/anchor_commands.hpp"
#include "commands/commands.hpp"
#include "private_store/private_commands.hpp"
#include "recovery/recovery.hpp"

#include <cerrno>
#include <cstring>

namespace anchorfs {

namespace {
struct command_entry {
    const char* name;
    int argc;
    command_id id;
    unsigned descriptors; // the most the handler holds open at once
};

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
    {"bookmark-parent", 7, command_id::bookmark_parent, 4},
    {"recover-unlink", 32, command_id::recover_unlink, 7},
    {"recover-rename", 26, command_id::recover_rename, 4},
    {"recover-swap", 34, command_id::recover_swap, 4},
    {"recover-link", 38, command_id::recover_link, 8},
    {"rename-excl", 13, command_id::rename_excl, 5},
    {"link-excl", 18, command_id::link_excl, 7},
    {"rename-swap", 18, command_id::rename_swap, 5},
    {"unlink-checked", 17, command_id::unlink_checked, 7},
    {"quarantine-private-tree", 8, command_id::quarantine_private_tree, 5},
    {"remove-private-tree", 9, command_id::remove_private_tree, 7},
    {"create-private-file-staged", 9, command_id::create_private_file_staged, 6},
    {"remove-private-staging-file", 8, command_id::remove_private_staging_file, 5},
    {"read-private-file", 8, command_id::read_private_file, 5},
    {"read-external-file", 11, command_id::read_external_file, 5},
    {"remove-private-file", 9, command_id::remove_private_file, 5},
    {"ensure-dir", 7, command_id::ensure_dir, 5},
    {"ensure-private-dir", 7, command_id::ensure_private_dir, 5},
    {"create-file", 9, command_id::create_file, 5},
    {"create-private-file", 8, command_id::create_private_file, 5},
};
} // namespace

unsigned descriptor_budget(command_id id)
{
    // One more than the table says, for a descriptor the run holds besides the
    // root (opened at start or on first use, so counted here in either case).
    constexpr unsigned run_wide = 1;
    for (const command_entry& entry : command_table) {
        if (entry.id == id)
            return entry.descriptors + run_wide;
    }
    return run_wide;
}

command_id find_command(const char* name, int argc)
{
    for (const command_entry& entry : command_table) {
        if (argc == entry.argc && std::strcmp(name, entry.name) == 0)
            return entry.id;
    }
    return command_id::none;
}

int run_command(command_id id, const command_context& context, command_report& report)
{
    switch (id) {
    case command_id::bookmark_parent: return run_bookmark_parent(context, report);
    case command_id::recover_unlink: return run_recover_unlink(context, report);
    case command_id::recover_rename: return run_recover_rename(context, report);
    case command_id::recover_swap: return run_recover_swap(context, report);
    case command_id::recover_link: return run_recover_link(context, report);
    case command_id::rename_excl: return run_rename_excl(context, report);
    case command_id::link_excl: return run_link_excl(context, report);
    case command_id::rename_swap: return run_rename_swap(context, report);
    case command_id::unlink_checked: return run_unlink_checked(context, report);
    case command_id::quarantine_private_tree: return run_quarantine_private_tree(context, report);
    case command_id::remove_private_tree: return run_remove_private_tree(context, report);
    case command_id::create_private_file_staged: return run_create_private_file_staged(context, report);
    case command_id::remove_private_staging_file: return run_remove_private_staging_file(context, report);
    case command_id::read_private_file: return run_read_private_file(context, report);
    case command_id::read_external_file: return run_read_external_file(context, report);
    case command_id::remove_private_file: return run_remove_private_file(context, report);
    case command_id::ensure_dir: return run_ensure_dir(context, report);
    case command_id::ensure_private_dir: return run_ensure_private_dir(context, report);
    case command_id::create_file: return run_create_file(context, report);
    case command_id::create_private_file: return run_create_private_file(context, report);
    case command_id::none: break;
    }
    errno = EINVAL;
    return -1;
}

} // namespace anchorfs
