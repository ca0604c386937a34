// rename-swap through the binary: two described files exchange their names;
// after a failed check the verdict says whether A holds file 1 and B file 2
// again, whoever put them there.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

// File 1 "one" at A = "left/x", file 2 "two" at B = "right/y".
struct swap_tree {
    temp_root root;
    std::string a = root.at("left/x");
    std::string b = root.at("right/y");
    ino_t file1 = 0;
    ino_t file2 = 0;
    std::vector<std::string> identity1;
    std::vector<std::string> identity2;
    swap_tree()
    {
        make_dir(root.at("left"));
        make_dir(root.at("right"));
        write_file(a, "one");
        write_file(b, "two");
        file1 = inode_of(a);
        file2 = inode_of(b);
        identity1 = identity_args(a);
        identity2 = identity_args(b);
    }
    std::vector<std::string> args() const
    {
        return root.command("rename-swap", join({{"left/x", "right/y"}, identity1, identity2}));
    }
    void expect_as_before() const
    {
        expect_file(a, file1, "one");
        expect_file(b, file2, "two");
    }
    void expect_swapped(const std::string& b_now) const
    {
        expect_file(a, file2, "two");
        expect_file(b_now, file1, "one");
    }
};

void exchange_entries(const std::string& first, const std::string& second)
{
    ASSERT_EQ(::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE), 0);
}

TEST(RenameSwap, TwoDescribedFiles_SwapThenSameArgumentsAgainFailIdentityChanged)
{
    swap_tree tree;
    expect_plain(run_anchorfs(tree.args()));
    tree.expect_swapped(tree.b);

    // The names no longer hold the described files.
    run_result again = run_anchorfs(tree.args());
    expect_failure(again, "IDENTITY_CHANGED", ESTALE);
    tree.expect_swapped(tree.b);
}

TEST(RenameSwap, IdentityDoesNotDescribeFile_FailsIdentityChangedAndSwapsNothing)
{
    {
        SCOPED_TRACE("file 1 has a second link, identity says 1");
        swap_tree tree;
        ASSERT_EQ(::link(tree.a.c_str(), tree.root.at("left/second").c_str()), 0);
        expect_failure(run_anchorfs(tree.args()), "IDENTITY_CHANGED", ESTALE);
        expect_file(tree.a, tree.file1, "one", 2);
        expect_file(tree.b, tree.file2, "two");
    }
    {
        SCOPED_TRACE("file 2 described with mode 420");
        swap_tree tree;
        tree.identity2[4] = "420";
        expect_failure(run_anchorfs(tree.args()), "IDENTITY_CHANGED", ESTALE);
        tree.expect_as_before();
    }
}

TEST(RenameSwap, NameBMissing_FailsEnoentAndChangesNothing)
{
    swap_tree tree;
    ASSERT_EQ(::unlink(tree.b.c_str()), 0);
    expect_failure(run_anchorfs(tree.args()), "ENOENT", ENOENT);
    expect_file(tree.a, tree.file1, "one");
    expect_absent(tree.b);
}

// The verdict after a failed check, one test per state the names can be in.
// Each pauses after the swap (renameat2 1) and counts the run's renames.

// Still swapped: B's parent was renamed away and a look-alike put at its path,
// so the anchoring check fails; the run swaps back through the held parents.
TEST(RenameSwap, ParentReplacedAfterSwap_SwapsBackAndReportsRolledBack)
{
    swap_tree tree;
    const std::string away = tree.root.at("right-away");
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { replace_directory(tree.root.at("right"), away); });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 2u);
    expect_file(tree.a, tree.file1, "one");
    expect_file(away + "/y", tree.file2, "two");
    expect_absent(tree.b);
}

// Already back: another process swapped the entries back before the run's
// post-check. The state from before is there, so the run changes nothing.
TEST(RenameSwap, SwappedBackByAnotherProcess_ChangesNothingAndReportsRolledBack)
{
    swap_tree tree;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { exchange_entries(tree.a, tree.b); });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 1u);
    tree.expect_as_before();
}

// Neither state: the file that came to B after the swap was replaced by a new
// file. Nothing can be swapped back, and nothing is.
TEST(RenameSwap, EntryReplacedAfterSwap_ChangesNothingAndReportsPreserved)
{
    swap_tree tree;
    const std::string parked = tree.root.at("parked");
    ino_t newcomer = 0;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        ASSERT_EQ(std::rename(tree.b.c_str(), parked.c_str()), 0);
        write_file(tree.b, "three");
        newcomer = inode_of(tree.b);
    });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_PRESERVED", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 1u);
    expect_file(tree.a, tree.file2, "two");
    expect_file(tree.b, newcomer, "three");
    expect_file(parked, tree.file1, "one");
}

// Swapped back, but not to the described state: as in the parent-replaced case
// the run swaps back, and while it flushes (fsync 1, the rollback's first) the
// adversary gives file 1 a second link. A holds file 1 and B file 2, but file
// 1 no longer has the described identity, so the verdict is RACE_PRESERVED.
TEST(RenameSwap, FileChangedAfterSwapBack_ReportsPreserved)
{
    swap_tree tree;
    const std::string away = tree.root.at("right-away");
    run_options options;
    options.trace = true;
    options.seam.rules = "pause:renameat2:1;pause:fsync:1";
    options.check_fds = true;
    options.seam.on_pause = [&](const std::string& event) {
        if (event == "renameat2 1")
            replace_directory(tree.root.at("right"), away);
        else
            ASSERT_EQ(::link(tree.a.c_str(), tree.root.at("left/extra").c_str()), 0);
    };
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_PRESERVED", ESTALE);
    EXPECT_EQ(r.pauses, (std::vector<std::string>{"renameat2 1", "fsync 1"}));
    EXPECT_EQ(calls_of(r, "renameat2"), 2u);
    expect_file(tree.a, tree.file1, "one", 2);
    expect_file(away + "/y", tree.file2, "two");
}

// A swap that cannot be flushed is a plain failure and stays.
TEST(RenameSwap, FlushAfterSwapFails_ReportsErrorAndKeepsSwap)
{
    swap_tree tree;
    run_options options = failing_at("fsync", 1, "EIO");
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "FILESYSTEM_ERROR", EIO);
    tree.expect_swapped(tree.b);
}

} // namespace
