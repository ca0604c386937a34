// Fault campaign: every call that a run of a command makes is made to fail in
// turn, on a fresh tree: with EIO, and also with EACCES for opens, ENOSPC for
// writes, EINTR for reads, writes and flushes, and EAGAIN for fcntl (at a
// writer probe, the refusal of a read lease: a writer found). Every run ends with a
// well-formed result (a failure line with a known code and exit status 10, or,
// where the failed call does not matter, the command's success), leaves no
// descriptor open and nothing on standard error, and leaves the tree in a
// state the command allows: nothing lost, nothing half-written under a final
// name, a rollback reported only when the tree is back as it was, and any
// intermediate state settled the way the command's users settle it.

#include "campaign/command_cases.hpp"

#include <map>
#include <optional>

namespace anchorfs::test::campaign {
namespace {

std::vector<std::string> injected_errors(const std::string& function)
{
    std::vector<std::string> errors = {"EIO"};
    if (function == "open" || function == "openat")
        errors.push_back("EACCES");
    if (function == "write")
        errors.push_back("ENOSPC");
    if (function == "read" || function == "write" || function == "fsync")
        errors.push_back("EINTR");
    if (function == "fcntl")
        errors.push_back("EAGAIN");
    return errors;
}

// The whole campaign for one command, run by root or by the unprivileged
// owner of the root; counts are recorded under `counted_as`.
void fail_each_call(const std::string& command, std::optional<uid_t> owner, const std::string& counted_as)
{
    const case_factory make = case_named(command);

    std::vector<traced_call> calls;
    {
        scene s(owner);
        auto c = make();
        c->arrange(s);
        run_options options;
        options.stdin_data = c->input;
        options.trace = true;
        options.check_fds = true;
        run_result r = s.run(c->command(), c->args, options);
        ASSERT_TRUE(c->success_output(r, s)) << "run without faults";
        EXPECT_TRUE(r.leaked_fds.empty()) << "run without faults";
        calls = calls_of(r);
    }
    ASSERT_FALSE(calls.empty());

    long long faults = 0;
    std::map<std::string, int> outcomes;
    std::map<std::string, int> states;
    std::unique_ptr<scene> kept;
    std::unique_ptr<command_case> c;
    for (const traced_call& call : calls) {
        for (const std::string& error : injected_errors(call.function)) {
            const std::string rule = "fail:" + call.function + ":" + std::to_string(call.ordinal) + ":" + error;
            SCOPED_TRACE(rule);
            ++faults;
            if (c == nullptr || !c->reset(*kept)) {
                c = nullptr;
                kept = std::make_unique<scene>(owner);
                c = make();
                c->arrange(*kept);
            }
            scene& s = *kept;
            run_options options;
            options.stdin_data = c->input;
            options.seam.rules = rule;
            options.check_fds = true;
            run_result r = s.run(c->command(), c->args, options);
            EXPECT_TRUE(r.leaked_fds.empty()) << r.leaked_fds.size() << " descriptors open at exit";

            std::string why;
            const std::string state = c->state(s, why);
            EXPECT_NE(state, "") << why;
            EXPECT_TRUE(s.outside_untouched());
            if (r.exit_code == 0) {
                // The failed call did not matter (a file-system status that
                // only the recover commands use, a failing close that still
                // closed): then the command must really have done its work.
                EXPECT_TRUE(c->success_output(r, s));
                EXPECT_EQ(state, c->completed_state()) << "success reported";
                ++outcomes["success"];
            } else {
                std::string code;
                EXPECT_TRUE(well_formed_failure(r, &code, c->reads()));
                if (code == "RACE_ROLLED_BACK") {
                    EXPECT_EQ(state, c->untouched_state()) << "rollback reported";
                }
                ++outcomes[code.empty() ? "malformed" : code];
            }
            if (state.empty())
                continue;
            ++states[state];
            if (state != c->untouched_state() && state != c->completed_state()) {
                c->settle(s, state);
                EXPECT_TRUE(s.outside_untouched()) << "after settling";
            }
        }
    }

    record_count("fault", counted_as, "calls", static_cast<long long>(calls.size()));
    record_count("fault", counted_as, "faults injected", faults);
    for (const auto& [outcome, count] : outcomes)
        record_count("fault", counted_as, "outcome " + outcome, count);
    for (const auto& [state, count] : states)
        record_count("fault", counted_as, "state " + state, count);
}

std::string camel_name(const testing::TestParamInfo<std::string>& info)
{
    return camel(info.param);
}

class FaultCampaign : public testing::TestWithParam<std::string> {};

TEST_P(FaultCampaign, EachCallFailing_WellFormedResultNoDescriptorLeftAllowedState)
{
    fail_each_call(GetParam(), std::nullopt, GetParam());
}

std::vector<std::string> every_command()
{
    std::vector<std::string> names;
    for (const auto& [name, make] : all_cases())
        names.push_back(name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultCampaign, testing::ValuesIn(every_command()), camel_name);

// An unprivileged run cannot open a directory by its handle: its bookmarks
// are made and resolved by path (and a search for the inode), a road the
// privileged runs above never take. The recover commands that move files
// differ from their privileged runs only there, so two of them stand for all.
class UnprivilegedFaultCampaign : public testing::TestWithParam<std::string> {};

TEST_P(UnprivilegedFaultCampaign, EachCallFailing_WellFormedResultNoDescriptorLeftAllowedState)
{
    fail_each_call(GetParam(), unprivileged_uid(), GetParam() + " (unprivileged)");
}

INSTANTIATE_TEST_SUITE_P(Commands, UnprivilegedFaultCampaign,
                         testing::Values("bookmark-parent", "recover-rename", "recover-swap"),
                         camel_name);

} // namespace
} // namespace anchorfs::test::campaign
