// rename-excl and rename-swap: one atomic rename of described files, undone
// when a check after it fails.

#include "commands/commands.hpp"

#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "commands/checked_mutation.hpp"
#include "platform/rename.hpp"


namespace anchorfs {

namespace {

// The rollback verdict of a swap: RACE_ROLLED_BACK only when A holds file 1 and
// B holds file 2 afterwards. Another process may already have swapped the
// entries back, and swapping once more would leave them swapped.
bool settle_failed_swap(const held_parent& a, const held_parent& b, const file_identity& file1,
                        const file_identity& file2)
{
    auto as_before = [&] {
        return exact_regular_at(a.fd.get(), a.leaf, file1) == 0 && exact_regular_at(b.fd.get(), b.leaf, file2) == 0;
    };
    if (as_before())
        return true;
    bool swapped = exact_regular_at(a.fd.get(), a.leaf, file2) == 0 && exact_regular_at(b.fd.get(), b.leaf, file1) == 0;
    if (!swapped)
        return false;
    return rollback_swapped_entries(a.fd.get(), a.leaf, b.fd.get(), b.leaf) && as_before();
}

} // namespace

int run_rename_excl(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    file_identity identity;
    if (parse_file_identity(context.own, 2, identity) != 0)
        return -1;
    held_parent source;
    held_parent destination;
    if (open_two_parents(root, context.own[0], context.own[1], source, destination) != 0)
        return -1;
    if (exact_regular_at(source.fd.get(), source.leaf, identity) != 0)
        return -1;
    return run_checked_mutation(
        {
            .anchored = [&] { return parents_still_anchored(root, source, destination); },
            .mutate =
                [&] { return rename_exclusive(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf); },
            .verify = [&] { return exact_regular_at(destination.fd.get(), destination.leaf, identity) == 0; },
            .settle = [&] { return settle_failed_rename(source, destination, identity); },
            .first_flushed = source.fd.get(),
            .second_flushed = destination.fd.get(),
        },
        report);
}

int run_rename_swap(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    file_identity file1;
    file_identity file2;
    if (parse_file_identity(context.own, 2, file1) != 0 || parse_file_identity(context.own, 7, file2) != 0)
        return -1;
    held_parent a;
    held_parent b;
    if (open_two_parents(root, context.own[0], context.own[1], a, b) != 0)
        return -1;
    if (exact_regular_at(a.fd.get(), a.leaf, file1) != 0 || exact_regular_at(b.fd.get(), b.leaf, file2) != 0)
        return -1;
    return run_checked_mutation(
        {
            .anchored = [&] { return parents_still_anchored(root, a, b); },
            .mutate = [&] { return rename_swap(a.fd.get(), a.leaf, b.fd.get(), b.leaf); },
            .verify =
                [&] {
                    return exact_regular_at(b.fd.get(), b.leaf, file1) == 0
                           && exact_regular_at(a.fd.get(), a.leaf, file2) == 0;
                },
            .settle = [&] { return settle_failed_swap(a, b, file1, file2); },
            .first_flushed = a.fd.get(),
            .second_flushed = b.fd.get(),
        },
        report);
}

} // namespace anchorfs
