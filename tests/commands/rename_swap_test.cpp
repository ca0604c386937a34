// rename-swap through the binary: two described files exchange their names;
// after a failed check the verdict says whether A holds file 1 and B file 2
// again, whoever put them there. The adversaries every mutation meets are in
// adversaries_test.cpp.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

TEST(RenameSwap, TwoDescribedFiles_SwapThenSameArgumentsAgainFailIdentityChanged)
{
    mutation_scene s(rename_swap());
    expect_plain(run_anchorfs(s.args()));
    s.expect(s.command.done);

    // The names no longer hold the described files.
    expect_failure(run_anchorfs(s.args()), "IDENTITY_CHANGED", ESTALE);
    s.expect(s.command.done);
}

TEST(RenameSwap, NameBMissing_FailsEnoentAndChangesNothing)
{
    mutation_scene s(rename_swap());
    ASSERT_EQ(::unlink(s.at("right/y").c_str()), 0);
    expect_failure(run_anchorfs(s.args()), "ENOENT", ENOENT);
    s.expect(with(s.command.before, {{"right/y", ""}}));
}

// Swapped back, but not to the described state: B's parent is replaced after
// the swap (renameat2 1), so the run swaps back, and while it flushes (fsync
// 1, the rollback's first) the adversary gives file 1 a second link. A holds
// file 1 and B file 2, but file 1 no longer has the described identity, so the
// verdict is RACE_PRESERVED.
TEST(RenameSwap, FileChangedAfterSwapBack_ReportsPreserved)
{
    mutation_scene s(rename_swap());
    run_options options;
    options.trace = true;
    options.seam.rules = pause_rule("renameat2", 1) + ";" + pause_rule("fsync", 1);
    options.check_fds = true;
    options.seam.on_pause = [&](const std::string& event) {
        if (event == "renameat2 1")
            replace_directory(s.at("right"), s.at("right-away"));
        else
            ASSERT_EQ(::link(s.at("left/x").c_str(), s.at("left/extra").c_str()), 0);
    };
    run_result r = run_anchorfs(s.args(), options);
    expect_failure(r, "RACE_PRESERVED", ESTALE);
    EXPECT_EQ(r.pauses, (std::vector<std::string>{"renameat2 1", "fsync 1"}));
    EXPECT_EQ(calls_of(r, "renameat2"), 2u);
    s.expect({{"left/x", "one", 2}, {"right-away/y", "two"}});
}

} // namespace
