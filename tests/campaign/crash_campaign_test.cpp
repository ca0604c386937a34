// Crash campaign: each command that changes the tree is killed right after
// each of its mutating calls in turn, on a fresh tree. Whatever the kill point,
// the user's file is under exactly one of the names the command allows, with
// its inode and bytes, nothing outside the root changed, and the tree is
// settled the way the command's users settle it: by the recover command (with
// bookmarks taken before the run), by removing a staging leftover, or by
// running an interrupted command again. A second settling run changes nothing.
//
// The same holds when the run is cut short while it undoes its own mutation:
// a failed call right after the mutation sends the run into its rollback, and
// the run is killed after each mutating call of the rollback.

#include "campaign/command_cases.hpp"

#include <csignal>
#include <map>

namespace anchorfs::test::campaign {
namespace {

// The mutating calls of a run of the case's command under `rules`, which must
// give the expected result.
std::vector<traced_call> mutating_calls(const case_factory& make, const std::string& rules, bool expect_success,
                                        std::size_t from = 0)
{
    scene s;
    auto c = arranged(make, s);
    run_result r = c->run(s, traced(rules));
    std::string why;
    if (expect_success) {
        EXPECT_TRUE(c->success_output(r, s)) << "uninterrupted run";
        EXPECT_EQ(c->state(s, why), c->completed_state()) << why;
    } else {
        EXPECT_TRUE(well_formed_failure(r)) << "run with " << rules;
        EXPECT_EQ(c->state(s, why), c->untouched_state()) << "run with " << rules << " did not undo: " << why;
    }
    std::vector<traced_call> calls = calls_of(r);
    std::vector<traced_call> found;
    for (std::size_t i = from; i < calls.size(); ++i)
        if (mutating(calls, i))
            found.push_back(calls[i]);
    return found;
}

// Kills a run after each of the kill points (with `rules` in force as well)
// and checks and settles what it leaves; records the counts under `prefix`.
void kill_at_each(const std::string& command, const case_factory& make, const std::vector<traced_call>& kill_points,
                  const std::string& rules, const std::string& prefix)
{
    std::map<std::string, int> states;
    for (const traced_call& point : kill_points) {
        const std::string kill = "kill:" + point.function + ":" + std::to_string(point.ordinal);
        SCOPED_TRACE((rules.empty() ? "" : rules + ", then ") + "killed after " + point.label());
        scene s;
        auto c = arranged(make, s);
        c->prepare_recovery(s);
        run_options options;
        options.seam.rules = rules.empty() ? kill : rules + ";" + kill;
        run_result r = c->run(s, options);
        EXPECT_EQ(r.signal, SIGKILL);
        EXPECT_EQ(r.err, "");

        std::string why;
        const std::string state = c->state(s, why);
        EXPECT_NE(state, "") << why;
        // The create that the openat stands for did happen.
        if (point.function == "openat") {
            EXPECT_NE(state, c->untouched_state()) << "no entry was created";
        }
        EXPECT_TRUE(s.outside_untouched());
        if (state.empty())
            continue;
        ++states[state];
        c->settle(s, state);
        EXPECT_TRUE(s.outside_untouched()) << "after settling";
    }
    record_count("crash", command, prefix + "kill points", static_cast<long long>(kill_points.size()));
    for (const auto& [state, count] : states)
        record_count("crash", command, prefix + "state " + state, count);
}

std::string camel_name(const testing::TestParamInfo<std::string>& info)
{
    return camel(info.param);
}

class CrashCampaign : public testing::TestWithParam<std::string> {};

TEST_P(CrashCampaign, KilledAfterEachMutatingCall_FileUnderAnAllowedNameAndSettled)
{
    const case_factory make = case_named(GetParam());
    const std::vector<traced_call> kill_points = mutating_calls(make, "", true);
    ASSERT_FALSE(kill_points.empty());
    kill_at_each(GetParam(), make, kill_points, "", "");
}

// Every command that changes the tree; the recover commands too, since a
// recovery can be cut short like anything else and is then run again.
INSTANTIATE_TEST_SUITE_P(Commands, CrashCampaign,
                         testing::Values("rename-excl", "rename-swap", "unlink-checked", "link-excl", "create-file",
                                         "create-private-file", "create-private-file-staged", "remove-private-file",
                                         "remove-private-tree", "quarantine-private-tree", "ensure-dir",
                                         "ensure-private-dir", "remove-private-staging-file", "recover-rename",
                                         "recover-swap", "recover-unlink", "recover-link"),
                         camel_name);

// A command with its own undo, and the call whose failure right after the
// mutation sends it there: the re-walk of an anchoring check or a content
// check opens something; the tree quarantine undoes a move whose flush fails.
struct undo_case {
    std::string command;
    std::string failing; // the first call of this function after the mutation fails
};

void PrintTo(const undo_case& c, std::ostream* out) { *out << c.command; }

class CrashDuringRollbackCampaign : public testing::TestWithParam<undo_case> {};

TEST_P(CrashDuringRollbackCampaign, KilledAfterEachMutatingCallOfTheUndo_FileUnderAnAllowedNameAndSettled)
{
    const undo_case& undo = GetParam();
    const case_factory make = case_named(undo.command);

    // The command's own mutation in an uninterrupted run (not the hardening
    // or a flush before it), and the first call of the chosen function after it.
    scene s;
    auto c = arranged(make, s);
    run_result r = c->run(s, traced());
    ASSERT_TRUE(c->success_output(r, s));
    const std::vector<traced_call> calls = calls_of(r);
    std::size_t mutation = 0;
    while (mutation < calls.size()
           && (!mutating(calls, mutation) || calls[mutation].function == "fchmod"
               || calls[mutation].function == "fsync"))
        ++mutation;
    std::size_t failing = mutation + 1;
    while (failing < calls.size() && calls[failing].function != undo.failing)
        ++failing;
    ASSERT_LT(failing, calls.size()) << "no " << undo.failing << " after the mutation";
    const std::string rule = "fail:" + undo.failing + ":" + std::to_string(calls[failing].ordinal) + ":EIO";

    const std::vector<traced_call> kill_points = mutating_calls(make, rule, false, failing);
    ASSERT_FALSE(kill_points.empty()) << "the undo after " << rule << " changed nothing";
    kill_at_each(undo.command, make, kill_points, rule, "undo ");
}

INSTANTIATE_TEST_SUITE_P(Commands, CrashDuringRollbackCampaign,
                         testing::Values(undo_case{"rename-excl", "openat"}, undo_case{"rename-swap", "openat"},
                                         undo_case{"unlink-checked", "openat"}, undo_case{"link-excl", "openat"},
                                         undo_case{"create-file", "openat"},
                                         undo_case{"create-private-file", "openat"},
                                         undo_case{"create-private-file-staged", "openat"},
                                         undo_case{"quarantine-private-tree", "fsync"},
                                         undo_case{"recover-rename", "openat"}, undo_case{"recover-swap", "openat"},
                                         undo_case{"recover-link", "openat"}),
                         [](const testing::TestParamInfo<undo_case>& info) { return camel(info.param.command); });

} // namespace
} // namespace anchorfs::test::campaign
