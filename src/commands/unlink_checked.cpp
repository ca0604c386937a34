// unlink-checked: a described file is moved from its own name to a staging
// name, then through a durable quarantine name, and deleted there by content.
// It is never unlinked under its own name.

#include "commands/commands.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "commands/staging_preconditions.hpp"
#include "core/result_line.hpp"
#include "platform/rename.hpp"

#include <cerrno>
#include <unistd.h>

namespace anchorfs {

namespace {

// The rollback verdict of the first move: RACE_ROLLED_BACK only when the source
// holds the described file and the staging name is free afterwards. The file
// is moved back only while the staging name still holds it; a file that
// another process put there instead is not the caller's and stays where it is.
bool settle_failed_staging(const held_parent& source, const held_parent& staging, const file_identity& identity)
{
    auto as_before = [&] {
        return exact_regular_at(source.fd.get(), source.leaf, identity) == 0
               && absent_at(staging.fd.get(), staging.leaf);
    };
    if (exact_regular_at(staging.fd.get(), staging.leaf, identity) != 0)
        return as_before();
    return rollback_renamed_entry(source.fd.get(), source.leaf, staging.fd.get(), staging.leaf) && as_before();
}

} // namespace

int run_unlink_checked(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    exact_file_description description;
    if (parse_file_description(context.own, 3, description) != 0)
        return -1;
    const char* source_path = context.own[0];
    const char* staging_path = context.own[1];
    const char* quarantine_path = context.own[2];
    held_parent source;
    held_parent staging;
    held_parent quarantine;
    if (open_held_parent(root, source_path, source) != 0 || open_held_parent(root, staging_path, staging) != 0
        || open_held_parent(root, quarantine_path, quarantine) != 0)
        return -1;
    auto anchored = [&] {
        return paths_still_anchored(root, {source_path, source.fd.get()}, {staging_path, staging.fd.get()},
                                    {quarantine_path, quarantine.fd.get()});
    };
    auto roll_back = [&] {
        bool rolled_back = settle_failed_staging(source, staging, description.identity);
        report.race_code = rolled_back ? code_race_rolled_back : code_race_preserved;
        errno = ESTALE;
        return -1;
    };

    if (check_staging_and_quarantine(staging, quarantine) != 0)
        return -1;
    if (exact_recovery_file_at(source.fd.get(), source.leaf, description) != 0)
        return -1;
    // Proven twice on purpose: after the parents were opened and right before the change.
    // NOLINTNEXTLINE(misc-redundant-expression): each call walks the paths again
    if (!anchored() || !anchored())
        return -1;
    if (rename_exclusive(source.fd.get(), source.leaf, staging.fd.get(), staging.leaf) != 0)
        return -1;
    if (exact_recovery_file_at(staging.fd.get(), staging.leaf, description) != 0 || !anchored())
        return roll_back();
    if (::fsync(source.fd.get()) != 0 || ::fsync(staging.fd.get()) != 0)
        return -1;
    if (!anchored())
        return roll_back();
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
