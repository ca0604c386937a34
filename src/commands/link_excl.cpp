// link-excl: a second name for a described file. After a failed check the
// extra link is carried to the staging name and deleted there through the
// durable quarantine, so the file's own name is never touched.

#include "commands/commands.hpp"

#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "commands/staging_preconditions.hpp"
#include "core/result_line.hpp"

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

    const char* source_path = context.own[0];
    const char* destination_path = context.own[1];
    const char* staging_path = context.own[2];
    const char* quarantine_path = context.own[3];
    held_parent source;
    held_parent destination;
    held_parent staging;
    held_parent quarantine;
    if (open_two_parents(root, source_path, destination_path, source, destination) != 0
        || open_held_parent(root, staging_path, staging) != 0 || open_held_parent(root, quarantine_path, quarantine) != 0)
        return -1;
    auto anchored = [&] {
        return paths_still_anchored(root, {source_path, source.fd.get()}, {destination_path, destination.fd.get()},
                                    {staging_path, staging.fd.get()})
               && held_parent_matches(root, quarantine_path, quarantine.fd.get());
    };
    auto roll_back = [&] {
        bool rolled_back = rollback_linked_entry(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf,
                                                 staging.fd.get(), staging.leaf, quarantine.fd.get(), quarantine.leaf,
                                                 description);
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
    if (::linkat(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf, 0) != 0)
        return -1;
    file_identity linked = description.identity;
    linked.link_count += 1;
    if (exact_regular_at(destination.fd.get(), destination.leaf, linked) != 0
        || exact_regular_at(source.fd.get(), source.leaf, linked) != 0 || !anchored())
        return roll_back();
    if (::fsync(source.fd.get()) != 0 || ::fsync(destination.fd.get()) != 0)
        return -1;
    if (!anchored())
        return roll_back();
    return 0;
}

} // namespace anchorfs
