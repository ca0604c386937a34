// Crash campaign: each command that changes the tree is killed right after
// each of its mutating calls in turn, on a fresh tree. Whatever the kill point,
// the user's file is under exactly one of the names the command allows, with
// its inode and bytes, nothing outside the root changed, and the tree is
// settled the way the command's users settle it: by the recover command (with
// bookmarks taken before the run), by removing a staging leftover, or by
// running an interrupted removal again. A second settling run changes nothing.

#include "campaign/command_cases.hpp"

#include <csignal>
#include <map>

namespace anchorfs::test::campaign {
namespace {

class CrashCampaign : public testing::TestWithParam<std::string> {};

TEST_P(CrashCampaign, KilledAfterEachMutatingCall_FileUnderAnAllowedNameAndSettled)
{
    const case_factory make = case_named(GetParam());

    // The kill points: the mutating calls of an uninterrupted run.
    std::vector<traced_call> kill_points;
    {
        scene s;
        auto c = make();
        c->arrange(s);
        run_options options;
        options.stdin_data = c->input;
        options.trace = true;
        run_result r = s.run(c->command(), c->args, options);
        ASSERT_TRUE(c->success_output(r, s)) << "uninterrupted run";
        std::string why;
        ASSERT_EQ(c->state(s, why), c->completed_state()) << why;
        std::vector<traced_call> calls = calls_of(r);
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (mutating(calls, i))
                kill_points.push_back(calls[i]);
    }
    ASSERT_FALSE(kill_points.empty());

    std::map<std::string, int> states;
    for (const traced_call& point : kill_points) {
        SCOPED_TRACE("killed after " + point.label());
        scene s;
        auto c = make();
        c->arrange(s);
        c->prepare_recovery(s);
        run_options options;
        options.stdin_data = c->input;
        options.seam.rules = "kill:" + point.function + ":" + std::to_string(point.ordinal);
        run_result r = s.run(c->command(), c->args, options);
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

    record_count("crash", GetParam(), "kill points", static_cast<long long>(kill_points.size()));
    for (const auto& [state, count] : states)
        record_count("crash", GetParam(), "state " + state, count);
}

// Every command that changes the tree; the recover commands too, since a
// recovery can be cut short like anything else and is then run again.
INSTANTIATE_TEST_SUITE_P(Commands, CrashCampaign,
                         testing::Values("rename-excl", "rename-swap", "unlink-checked", "link-excl", "create-file",
                                         "create-private-file", "create-private-file-staged", "remove-private-file",
                                         "remove-private-tree", "quarantine-private-tree", "ensure-dir",
                                         "ensure-private-dir", "remove-private-staging-file", "recover-rename",
                                         "recover-swap", "recover-unlink", "recover-link"),
                         [](const testing::TestParamInfo<std::string>& info) { return camel(info.param); });

} // namespace
} // namespace anchorfs::test::campaign
