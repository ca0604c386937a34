// unlink-checked through the binary: a file is removed only while it is
// exactly the described one, content included, by way of a staging name and a
// durable quarantine name. The adversaries every mutation meets are in
// adversaries_test.cpp.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

// The quarantine directory's own path fits, the quarantine entry's would not:
// the reference bound there at the end could never be made, so the run must
// stop before the first move instead of leaving the file in staging.
TEST(UnlinkChecked, QuarantineEntryPathWouldNotFit_FailsEnametoolongAndMovesNothing)
{
    mutation_scene s(unlink_checked());
    // The directory's absolute path is one byte longer than leaves room for
    // the quarantine entry and its terminator; relative paths stay valid.
    const std::size_t target = 4096 - 1 - quarantine_leaf.size() + 1;
    std::string relative = "stage";
    while (s.root.path.size() + 1 + relative.size() < target) {
        std::size_t room = target - (s.root.path.size() + 1 + relative.size()) - 1;
        relative += "/" + std::string(std::min<std::size_t>(200, room == 0 ? 1 : room), 'n');
        make_dir(s.at(relative));
    }
    ASSERT_EQ(s.root.path.size() + 1 + relative.size(), target);
    ASSERT_LE(relative.size() + 1 + quarantine_leaf.size(), 4096u);
    run_result r = run_anchorfs(s.args({"src/f", relative + "/staged", relative + "/" + quarantine_leaf}));
    expect_failure(r, "FILESYSTEM_ERROR", ENAMETOOLONG);
    s.expect({{"src/f", "doomed content"}, {relative + "/staged", ""}});
}

// Same size and the old modification time put back: only the digest tells.
TEST(UnlinkChecked, ContentChangedAfterDescription_FailsIdentityChangedAndFileStays)
{
    mutation_scene s(unlink_checked());
    const struct stat before = lstat_of(s.at("src/f"));
    s.write("src/f", "DOOMED CONTENT");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, s.at("src/f").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(description_args(s.at("src/f"))[6], s.descriptions[0][6]);
    ASSERT_EQ(s.inodes.at("DOOMED CONTENT"), before.st_ino);

    run_result r = run_anchorfs(s.args());
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    s.expect(with(s.command.before, {{"src/f", "DOOMED CONTENT"}}));
}

// Stores through the mapping could change the content after the proof without
// moving the times: the file is not deleted while the mapping exists.
TEST(UnlinkChecked, WritableSharedMappingHeld_FailsIdentityChangedAndFileStays)
{
    mutation_scene s(unlink_checked());
    file_hold hold(s.at("src/f"), hold_kind::writable_mapping);
    run_result r = run_anchorfs(s.args());
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    s.expect(s.command.before);
}

// The leaf form is checked before any name is looked at. All three names sit
// in the root, so no walk opens anything: the root's own open is the only
// openat, and no name's status is read.
TEST(UnlinkChecked, QuarantineLeafNotOfDurableForm_FailsEinvalBeforeAnyNameIsRead)
{
    const std::string bad_leaves[] = {
        quarantine_prefix + "0123456789ABCDEF0123456789abcdef",
        quarantine_prefix + "0123456789abcdef0123456789abcde",
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
    mutation_scene s(unlink_checked());
    make_dir(s.at("elsewhere"));
    run_result r = run_anchorfs(s.args({"src/f", "stage/staged", "elsewhere/" + quarantine_leaf}));
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    s.expect(with(s.command.before, {{"elsewhere/" + quarantine_leaf, ""}}));
}

// A file above 64 MiB never passes the content proof, even when the
// description is exact.
TEST(UnlinkChecked, FileAboveContentLimit_FailsIdentityChangedAndFileStays)
{
    mutation_scene s(unlink_checked());
    write_file(s.at("src/f"), std::string(67108865, 'z'));
    const ino_t inode = inode_of(s.at("src/f"));
    s.describe();
    run_result r = run_anchorfs(s.args());
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    EXPECT_EQ(inode_of(s.at("src/f")), inode);
    EXPECT_EQ(lstat_of(s.at("src/f")).st_size, 67108865);
    s.expect({{"stage/staged", ""}, {"stage/" + quarantine_leaf, ""}});
}

} // namespace
