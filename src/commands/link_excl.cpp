// link-excl: a second name for a described file. After a failed check the
// extra link is carried to the staging name and deleted there through the
// durable quarantine, so the file's own name is never touched.

#include "commands/commands.hpp"

#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "commands/checked_mutation.hpp"
#include "commands/staging_preconditions.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

int run_link_excl(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    exact_file_description description;
    if (parse_file_identity(context.own, 4, description.identity) != 0)
        return -1;
    if (description.identity.link_count == UINT64_MAX) {
        errno = EINVAL; // c + 1 would not exist
        return -1;
    }
    if (parse_u64(context.own[9], description.size) != 0 || parse_u64(context.own[10], description.modified_ns) != 0)
        return -1;
    if (!valid_sha256_hex(context.own[11])) {
        errno = EINVAL;
        return -1;
    }
    description.digest = context.own[11];

    held_parent source;
    held_parent destination;
    held_parent staging;
    held_parent quarantine;
    if (open_two_parents(root, context.own[0], context.own[1], source, destination) != 0
        || open_held_parent(root, context.own[2], staging) != 0
        || open_held_parent(root, context.own[3], quarantine) != 0)
        return -1;
    if (check_staged_deletion(source, staging, quarantine, description) != 0)
        return -1;
    file_identity linked = description.identity;
    linked.link_count += 1;
    return run_checked_mutation(
        {
            .anchored =
                [&] {
                    return parents_still_anchored(root, source, destination, staging)
                           && held_parent_matches(root, quarantine.path, quarantine.fd.get());
                },
            .mutate = [&] { return ::linkat(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf, 0); },
            .verify =
                [&] {
                    return exact_regular_at(destination.fd.get(), destination.leaf, linked) == 0
                           && exact_regular_at(source.fd.get(), source.leaf, linked) == 0;
                },
            .settle =
                [&] {
                    return rollback_linked_entry(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf,
                                                 staging.fd.get(), staging.leaf, quarantine.fd.get(),
                                                 quarantine.leaf, description);
                },
            .first_flushed = source.fd.get(),
            .second_flushed = destination.fd.get(),
        },
        report);
}

} // namespace anchorfs
