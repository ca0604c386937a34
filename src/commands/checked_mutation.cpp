#include "commands/checked_mutation.hpp"

#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "core/result_line.hpp"

#include <cerrno>
#include <unistd.h>

namespace anchorfs {

namespace {

int fail_settled(const mutation_steps& steps, command_report& report)
{
    bool rolled_back = steps.settle();
    report.race_code = rolled_back ? code_race_rolled_back : code_race_preserved;
    errno = ESTALE;
    return -1;
}

} // namespace

int run_checked_mutation(const mutation_steps& steps, command_report& report)
{
    // Proven twice on purpose: after the parents were opened and right before the change.
    // NOLINTNEXTLINE(misc-redundant-expression): each call walks the paths again
    if (!steps.anchored() || !steps.anchored())
        return -1;
    if (steps.mutate() != 0)
        return -1;
    if (!steps.verify() || !steps.anchored())
        return fail_settled(steps, report);
    // A change that cannot be shown durable is a plain failure and stays.
    if (::fsync(steps.first_flushed) != 0 || ::fsync(steps.second_flushed) != 0)
        return -1;
    if (!steps.anchored())
        return fail_settled(steps, report);
    return 0;
}

bool settle_failed_rename(const held_parent& source, const held_parent& destination, const file_identity& identity)
{
    auto as_before = [&] {
        return exact_regular_at(source.fd.get(), source.leaf, identity) == 0
               && absent_at(destination.fd.get(), destination.leaf);
    };
    if (exact_regular_at(destination.fd.get(), destination.leaf, identity) != 0)
        return as_before();
    return rollback_renamed_entry(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf)
           && as_before();
}

} // namespace anchorfs
