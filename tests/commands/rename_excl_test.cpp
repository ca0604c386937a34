// rename-excl through the binary: a described file moves to a free name, keeps
// its inode, and is moved back when a check after the rename fails.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

// A file "src/a" with content "payload" and an empty directory "dst".
struct rename_tree {
    temp_root root;
    ino_t inode = 0;
    rename_tree()
    {
        make_dir(root.at("src"));
        make_dir(root.at("dst"));
        write_file(root.at("src/a"), "payload");
        inode = inode_of(root.at("src/a"));
    }
    std::vector<std::string> args(const std::vector<std::string>& identity,
                                  const std::string& destination = "dst/b") const
    {
        return root.command("rename-excl", join({{"src/a", destination}, identity}));
    }
    std::vector<std::string> args(const std::string& destination = "dst/b") const
    {
        return args(identity_args(root.at("src/a")), destination);
    }
};

TEST(RenameExcl, FreeNameInAnotherDirectory_MovesFileKeepingInode)
{
    rename_tree tree;
    run_result r = run_anchorfs(tree.args());
    expect_plain(r);
    expect_file(tree.root.at("dst/b"), tree.inode, "payload");
    expect_absent(tree.root.at("src/a"));
}

TEST(RenameExcl, DestinationExists_FailsEexistAndChangesNothing)
{
    rename_tree tree;
    write_file(tree.root.at("dst/b"), "occupant");
    const ino_t occupant = inode_of(tree.root.at("dst/b"));
    run_result r = run_anchorfs(tree.args());
    expect_failure(r, "EEXIST", EEXIST);
    expect_file(tree.root.at("src/a"), tree.inode, "payload");
    expect_file(tree.root.at("dst/b"), occupant, "occupant");
}

// The identity must match in every slot: a link count one short, or a mode
// without the regular-file type bits, is another file.
TEST(RenameExcl, IdentityDoesNotDescribeFile_FailsIdentityChangedAndMovesNothing)
{
    {
        SCOPED_TRACE("file has a second link, identity says 1");
        rename_tree tree;
        const std::vector<std::string> identity = identity_args(tree.root.at("src/a"));
        ASSERT_EQ(::link(tree.root.at("src/a").c_str(), tree.root.at("src/second").c_str()), 0);
        run_result r = run_anchorfs(tree.args(identity));
        expect_failure(r, "IDENTITY_CHANGED", ESTALE);
        expect_file(tree.root.at("src/a"), tree.inode, "payload", 2);
        expect_absent(tree.root.at("dst/b"));
    }
    {
        SCOPED_TRACE("mode 420, permission bits without type bits");
        rename_tree tree;
        std::vector<std::string> identity = identity_args(tree.root.at("src/a"));
        ASSERT_EQ(identity[4], std::to_string(S_IFREG | 0644));
        identity[4] = "420";
        run_result r = run_anchorfs(tree.args(identity));
        expect_failure(r, "IDENTITY_CHANGED", ESTALE);
        expect_file(tree.root.at("src/a"), tree.inode, "payload");
        expect_absent(tree.root.at("dst/b"));
    }
}

// Pause after the rename; the adversary renames the destination's parent away
// and puts a look-alike at its path. The run's post-check of the moved file
// passes (its held parent is the moved directory), the anchoring check fails,
// and since the source name is still free the file goes back there.
TEST(RenameExcl, DestinationParentReplacedAfterRename_RollsBack)
{
    rename_tree tree;
    const std::string away = tree.root.at("dst-away");
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { replace_directory(tree.root.at("dst"), away); });
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    expect_file(tree.root.at("src/a"), tree.inode, "payload");
    expect_absent(away + "/b");
    expect_absent(tree.root.at("dst/b"));
}

// The same race, but the adversary also creates a new file at the source name:
// the undo would have to replace it, so the moved file stays where it went.
TEST(RenameExcl, SourceNameReusedAfterRename_ReportsRacePreserved)
{
    rename_tree tree;
    const std::string away = tree.root.at("dst-away");
    ino_t newcomer = 0;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        replace_directory(tree.root.at("dst"), away);
        write_file(tree.root.at("src/a"), "newcomer");
        newcomer = inode_of(tree.root.at("src/a"));
    });
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_PRESERVED", ESTALE);
    expect_file(away + "/b", tree.inode, "payload");
    expect_file(tree.root.at("src/a"), newcomer, "newcomer");
    expect_absent(tree.root.at("dst/b"));
}

// Another process puts a different file at the destination (and the moved one
// elsewhere) before the post-check. That file is not the caller's: it is left
// where it is, and the source name stays free.
TEST(RenameExcl, DestinationReplacedByAnotherFileAfterRename_LeavesItAndReportsPreserved)
{
    rename_tree tree;
    const std::string parked = tree.root.at("parked");
    ino_t foreign = 0;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        ASSERT_EQ(std::rename(tree.root.at("dst/b").c_str(), parked.c_str()), 0);
        write_file(tree.root.at("dst/b"), "foreign");
        foreign = inode_of(tree.root.at("dst/b"));
    });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_PRESERVED", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 1u);
    expect_absent(tree.root.at("src/a"));
    expect_file(tree.root.at("dst/b"), foreign, "foreign");
    expect_file(parked, tree.inode, "payload");
}

// Another process moves the file back before the post-check: the state from
// before the command is there, and the run changes nothing.
TEST(RenameExcl, MovedBackByAnotherProcess_ChangesNothingAndReportsRolledBack)
{
    rename_tree tree;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        ASSERT_EQ(std::rename(tree.root.at("dst/b").c_str(), tree.root.at("src/a").c_str()), 0);
    });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 1u);
    expect_file(tree.root.at("src/a"), tree.inode, "payload");
    expect_absent(tree.root.at("dst/b"));
}

// A rename that cannot be flushed is a plain failure and is not undone.
TEST(RenameExcl, FlushAfterRenameFails_ReportsErrorAndKeepsRename)
{
    rename_tree tree;
    run_options options = failing_at("fsync", 1, "EIO");
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "FILESYSTEM_ERROR", EIO);
    expect_file(tree.root.at("dst/b"), tree.inode, "payload");
    expect_absent(tree.root.at("src/a"));
}

} // namespace
