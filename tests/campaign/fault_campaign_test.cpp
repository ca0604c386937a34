// Fault campaign: every call that a run of a command makes is made to fail in
// turn, on a fresh tree: with EIO, and also with EACCES for opens, ENOSPC for
// writes, EINTR for reads, writes and flushes, EAGAIN for reads and writes
// (a non-blocking standard input or output is waited on, never an error) and
// EAGAIN for fcntl (at a writer probe, the refusal of a read lease: a writer
// found). Every run ends with a
// well-formed result (a failure line with a known code and exit status 10, or,
// where the failed call does not matter, the command's success), leaves no
// descriptor open and nothing on standard error, and leaves the tree in a
// state the command allows: nothing lost, nothing half-written under a final
// name, a rollback reported only when the tree is back as it was, and any
// intermediate state settled the way the command's users settle it.

#include "campaign/command_cases.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <sys/resource.h>

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
    if (function == "read" || function == "write" || function == "fcntl")
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
        auto c = arranged(make, s);
        run_options options = traced();
        options.check_fds = true;
        run_result r = c->run(s, options);
        ASSERT_TRUE(c->success_output(r, s)) << "run without faults";
        EXPECT_TRUE(r.leaked_fds.empty()) << "run without faults";
        calls = calls_of(r);
    }
    ASSERT_FALSE(calls.empty());

    long long faults = 0;
    long long highest_descriptor = 0;
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
                c = arranged(make, *kept);
            }
            scene& s = *kept;
            run_options options = traced(rule);
            options.check_fds = true;
            run_result r = c->run(s, options);
            EXPECT_TRUE(r.leaked_fds.empty()) << r.leaked_fds.size() << " descriptors open at exit";
            for (const traced_call& opened : calls_of(r))
                if (opened.function == "open" || opened.function == "openat" || opened.function == "dup"
                    || opened.function == "open_by_handle_at")
                    highest_descriptor = std::max(highest_descriptor, opened.result);

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
            } else if (r.exit_code == 11) {
                // Only a failed write of the line or the content leaves it undelivered.
                EXPECT_TRUE(undelivered_output(r));
                EXPECT_EQ(call.function, "write");
                ++outcomes["undelivered"];
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
    // Descriptors are numbered lowest first from 3 (0 to 2 are the streams):
    // the highest one opened bounds what the command held at once, on every
    // road the faults sent it down.
    record_count("fault", counted_as, "highest descriptor", highest_descriptor);
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

// The machine's limits instead of failing calls: a 64 KiB stack, and every
// descriptor limit from 3 to 24. A run either does its work or, short of
// descriptors, refuses with EMFILE before its first change: never a race code
// for what no other process did, never a half-done step.
class ProcessLimitCampaign : public testing::TestWithParam<std::string> {};

TEST_P(ProcessLimitCampaign, Stack64KiB_Completes)
{
    scene s;
    auto c = arranged(case_named(GetParam()), s);
    run_options options;
    options.limits = {{RLIMIT_STACK, 64 * 1024}};
    run_result r = c->run(s, options);
    EXPECT_TRUE(c->success_output(r, s));
    std::string why;
    EXPECT_EQ(c->state(s, why), c->completed_state()) << why;
}

// Every descriptor limit from 3 to `highest`: each run either succeeds or
// refuses with EMFILE and the tree untouched, and no limit above one that
// sufficed fails.
void descriptor_limits(const case_factory& make, std::optional<uid_t> owner, unsigned long highest,
                       const std::string& counted_as)
{
    long long lowest_success = 0;
    for (unsigned long limit = 3; limit <= highest; ++limit) {
        SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
        scene s(owner);
        auto c = arranged(make, s);
        run_options options;
        options.limits = {{RLIMIT_NOFILE, limit}};
        run_result r = c->run(s, options);
        std::string why;
        const std::string state = c->state(s, why);
        EXPECT_TRUE(s.outside_untouched());
        if (r.exit_code == 0) {
            EXPECT_TRUE(c->success_output(r, s));
            EXPECT_EQ(state, c->completed_state()) << why;
            if (lowest_success == 0)
                lowest_success = static_cast<long long>(limit);
        } else {
            EXPECT_EQ(r.out, failure_line("FILESYSTEM_ERROR", EMFILE));
            EXPECT_EQ(r.exit_code, exit_failure);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(state, c->untouched_state()) << why;
            EXPECT_EQ(lowest_success, 0) << "failed above a limit that sufficed";
        }
    }
    EXPECT_NE(lowest_success, 0) << "no limit up to " << highest << " sufficed";
    record_count("limits", counted_as, "lowest descriptor limit", lowest_success);
}

TEST_P(ProcessLimitCampaign, DescriptorLimits3To24_SuccessOrEmfileUntouched)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer runtime opens descriptors of its own before main";
    descriptor_limits(case_named(GetParam()), std::nullopt, 24, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Commands, ProcessLimitCampaign, testing::ValuesIn(every_command()), camel_name);

// Unprivileged, a directory moved after its bookmark was taken is found by
// the search by inode, which holds directories of its own: short of
// descriptors anywhere on that road the run still refuses with EMFILE before
// any change, and a limit that covers the command's budget suffices.
class MovedDirectoryProcessLimitCampaign : public testing::TestWithParam<std::string> {};

TEST_P(MovedDirectoryProcessLimitCampaign, UnprivilegedDescriptorLimits3To32_SuccessOrEmfileUntouched)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer runtime opens descriptors of its own before main";
    descriptor_limits(moved_recover_case_named(GetParam()), unprivileged_uid(), 32,
                      GetParam() + " (moved, unprivileged)");
}

INSTANTIATE_TEST_SUITE_P(Commands, MovedDirectoryProcessLimitCampaign,
                         testing::Values("recover-rename", "recover-swap"), camel_name);

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
