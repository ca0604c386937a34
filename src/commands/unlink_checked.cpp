// unlink-checked: a described file is moved from its own name to a staging
// name, then through a durable quarantine name, and deleted there by content.
// It is never unlinked under its own name.

#include "commands/commands.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "commands/checked_mutation.hpp"
#include "commands/staging_preconditions.hpp"
#include "platform/rename.hpp"

#include <cerrno>

namespace anchorfs {

int run_unlink_checked(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    exact_file_description description;
    if (parse_file_description(context.own, 3, description) != 0)
        return -1;
    held_parent source;
    held_parent staging;
    held_parent quarantine;
    if (open_held_parent(root, context.own[0], source) != 0 || open_held_parent(root, context.own[1], staging) != 0
        || open_held_parent(root, context.own[2], quarantine) != 0)
        return -1;
    if (check_staged_deletion(source, staging, quarantine, description) != 0)
        return -1;
    if (run_checked_mutation(
            {
                .anchored = [&] { return parents_still_anchored(root, source, staging, quarantine); },
                .mutate =
                    [&] { return rename_exclusive(source.fd.get(), source.leaf, staging.fd.get(), staging.leaf); },
                .verify = [&] { return exact_recovery_file_at(staging.fd.get(), staging.leaf, description) == 0; },
                .settle = [&] { return settle_failed_rename(source, staging, description.identity); },
                .first_flushed = source.fd.get(),
                .second_flushed = staging.fd.get(),
            },
            report)
        != 0)
        return -1;
    errno = 0;
    if (!delete_regular_content_checked(staging.fd.get(), staging.leaf, quarantine.fd.get(), quarantine.leaf,
                                        description)) {
        if (errno == 0)
            errno = ESTALE;
        return -1;
    }
    return 0;
}

} // namespace anchorfs
