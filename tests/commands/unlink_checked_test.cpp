// unlink-checked through the binary: a file is removed only while it is
// exactly the described one, content included, by way of a staging name and a
// durable quarantine name; a failed check after the first move moves it back.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

// A file "src/f" and an empty staging directory "stage"; the staging name and
// the quarantine name both live in "stage".
struct unlink_tree {
    temp_root root;
    std::string file = root.at("src/f");
    std::string staging = root.at("stage/staged");
    std::string quarantine = root.at("stage/" + quarantine_leaf);
    ino_t inode = 0;
    explicit unlink_tree(const std::string& content = "doomed content")
    {
        make_dir(root.at("src"));
        make_dir(root.at("stage"));
        write_file(file, content);
        inode = inode_of(file);
    }
    std::vector<std::string> args(const std::vector<std::string>& description,
                                  const std::string& staging_path = "stage/staged",
                                  const std::string& quarantine_path = "stage/" + quarantine_leaf) const
    {
        return root.command("unlink-checked", join({{"src/f", staging_path, quarantine_path}, description}));
    }
    std::vector<std::string> args() const { return args(description_args(file)); }
    void expect_untouched(const std::string& content = "doomed content", nlink_t links = 1) const
    {
        expect_file(file, inode, content, links);
        expect_absent(staging);
        expect_absent(quarantine);
    }
};

TEST(UnlinkChecked, DescribedFile_RemovedAndNoNameLeft)
{
    unlink_tree tree;
    run_result r = run_anchorfs(tree.args());
    expect_plain(r);
    expect_absent(tree.file);
    expect_absent(tree.staging);
    expect_absent(tree.quarantine);
}

// The quarantine directory's own path fits, the quarantine entry's would not:
// the reference bound there at the end could never be made, so the run must
// stop before the first move instead of leaving the file in staging.
TEST(UnlinkChecked, QuarantineEntryPathWouldNotFit_FailsEnametoolongAndMovesNothing)
{
    unlink_tree tree;
    // The directory's absolute path is one byte longer than leaves room for
    // the quarantine entry and its terminator; relative paths stay valid.
    const std::size_t target = 4096 - 1 - quarantine_leaf.size() + 1;
    std::string relative = "stage";
    while (tree.root.path.size() + 1 + relative.size() < target) {
        std::size_t room = target - (tree.root.path.size() + 1 + relative.size()) - 1;
        relative += "/" + std::string(std::min<std::size_t>(200, room == 0 ? 1 : room), 'n');
        make_dir(tree.root.at(relative));
    }
    ASSERT_EQ(tree.root.path.size() + 1 + relative.size(), target);
    ASSERT_LE(relative.size() + 1 + quarantine_leaf.size(), 4096u);
    run_result r = run_anchorfs(tree.args(description_args(tree.file), relative + "/staged",
                                          relative + "/" + quarantine_leaf));
    expect_failure(r, "FILESYSTEM_ERROR", ENAMETOOLONG);
    expect_file(tree.file, tree.inode, "doomed content", 1);
    expect_absent(tree.root.at(relative + "/staged"));
}

// Same size and the old modification time put back: only the digest tells.
TEST(UnlinkChecked, ContentChangedAfterDescription_FailsIdentityChangedAndFileStays)
{
    unlink_tree tree;
    const std::vector<std::string> description = description_args(tree.file);
    const struct stat before = lstat_of(tree.file);
    write_file(tree.file, "DOOMED CONTENT");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, tree.file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(description_args(tree.file)[6], description[6]);
    ASSERT_EQ(inode_of(tree.file), tree.inode);

    run_result r = run_anchorfs(tree.args(description));
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    tree.expect_untouched("DOOMED CONTENT");
}

// Stores through the mapping could change the content after the proof without
// moving the times: the file is not deleted while the mapping exists.
TEST(UnlinkChecked, WritableSharedMappingHeld_FailsIdentityChangedAndFileStays)
{
    unlink_tree tree;
    file_hold hold(tree.file, hold_kind::writable_mapping);
    run_result r = run_anchorfs(tree.args());
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    tree.expect_untouched();
}

TEST(UnlinkChecked, UndescribedSecondHardLink_FailsIdentityChangedAndBothNamesStay)
{
    unlink_tree tree;
    const std::vector<std::string> description = description_args(tree.file);
    ASSERT_EQ(::link(tree.file.c_str(), tree.root.at("src/other").c_str()), 0);
    run_result r = run_anchorfs(tree.args(description));
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    tree.expect_untouched("doomed content", 2);
    expect_file(tree.root.at("src/other"), tree.inode, "doomed content", 2);
}

// The leaf form is checked before any name is looked at. All three names sit
// in the root, so no walk opens anything: the root's own open is the only
// openat, and no name's status is read.
TEST(UnlinkChecked, QuarantineLeafNotOfDurableForm_FailsEinvalBeforeAnyNameIsRead)
{
    const std::string bad_leaves[] = {
        ".vor-native-quarantine-0123456789ABCDEF0123456789abcdef",
        ".vor-native-quarantine-0123456789abcdef0123456789abcde",
    };
    for (const std::string& leaf : bad_leaves) {
        SCOPED_TRACE(leaf);
        temp_root root;
        write_file(root.at("f"), "content");
        run_options options;
        options.trace = true;
        run_result r = run_anchorfs(
            root.command("unlink-checked", join({{"f", "staged", leaf}, description_args(root.at("f"))})), options);
        expect_failure(r, "EINVAL", EINVAL);
        EXPECT_EQ(calls_of(r, "openat"), 1u);
        EXPECT_EQ(calls_of(r, "fstatat"), 0u);
        EXPECT_TRUE(exists(root.at("f")));
        expect_absent(root.at("staged"));
    }
}

TEST(UnlinkChecked, StagingAndQuarantineInDifferentDirectories_FailsIdentityChanged)
{
    unlink_tree tree;
    make_dir(tree.root.at("elsewhere"));
    run_result r = run_anchorfs(tree.args(description_args(tree.file), "stage/staged", "elsewhere/" + quarantine_leaf));
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    tree.expect_untouched();
    expect_absent(tree.root.at("elsewhere/" + quarantine_leaf));
}

TEST(UnlinkChecked, StagingNameTaken_FailsEexistAndMovesNothing)
{
    unlink_tree tree;
    write_file(tree.staging, "occupant");
    const ino_t occupant = inode_of(tree.staging);
    run_result r = run_anchorfs(tree.args());
    expect_failure(r, "EEXIST", EEXIST);
    expect_file(tree.file, tree.inode, "doomed content");
    expect_file(tree.staging, occupant, "occupant");
    expect_absent(tree.quarantine);
}

// A file above 64 MiB never passes the content proof, even when the
// description is exact.
TEST(UnlinkChecked, FileAboveContentLimit_FailsIdentityChangedAndFileStays)
{
    unlink_tree tree(std::string(67108865, 'z'));
    run_result r = run_anchorfs(tree.args());
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    EXPECT_EQ(inode_of(tree.file), tree.inode);
    EXPECT_EQ(lstat_of(tree.file).st_size, 67108865);
    expect_absent(tree.staging);
    expect_absent(tree.quarantine);
}

// Pause after the move to the staging name; the adversary renames the staging
// directory away and puts a look-alike at its path. The anchoring check fails
// and the file goes back from the held staging directory to its source name.
TEST(UnlinkChecked, StagingParentReplacedAfterFirstMove_MovesFileBackAndReportsRolledBack)
{
    unlink_tree tree;
    const std::string away = tree.root.at("stage-away");
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        ASSERT_TRUE(exists(tree.staging));
        replace_directory(tree.root.at("stage"), away);
    });
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    tree.expect_untouched();
    expect_absent(away + "/staged");
    expect_absent(away + "/" + quarantine_leaf);
}

// Another process puts a different file at the staging name (and the moved
// one elsewhere) before the post-check. That file is not the caller's: it is
// not moved to the source name, and nothing is deleted.
TEST(UnlinkChecked, StagedFileReplacedByAnotherFile_LeavesItAndReportsPreserved)
{
    unlink_tree tree;
    const std::string parked = tree.root.at("parked");
    ino_t foreign = 0;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        ASSERT_EQ(std::rename(tree.staging.c_str(), parked.c_str()), 0);
        write_file(tree.staging, "foreign");
        foreign = inode_of(tree.staging);
    });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_PRESERVED", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 1u);
    expect_absent(tree.file);
    expect_file(tree.staging, foreign, "foreign");
    expect_file(parked, tree.inode, "doomed content");
    expect_absent(tree.quarantine);
}

// Another process moves the file back to its source name before the
// post-check: the state from before is there, and the run changes nothing.
TEST(UnlinkChecked, MovedBackByAnotherProcess_ChangesNothingAndReportsRolledBack)
{
    unlink_tree tree;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        ASSERT_EQ(std::rename(tree.staging.c_str(), tree.file.c_str()), 0);
    });
    options.trace = true;
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    EXPECT_EQ(calls_of(r, "renameat2"), 1u);
    tree.expect_untouched();
}

} // namespace
