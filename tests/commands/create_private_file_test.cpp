// create-private-file through the binary, for what only the private store
// asks: the parent is owner-checked and hardened before the file is made.
// (The cases it shares with create-file are in create_file_test.cpp.)

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

TEST(CreatePrivateFile, ParentAt0755_HardenedTo0700AndFileAt0600)
{
    temp_root root(unprivileged_uid());
    make_dir(root.at("store"), 0755);
    ASSERT_EQ(::chown(root.at("store").c_str(), unprivileged_uid(), unprivileged_gid()), 0);
    const ino_t parent_inode = inode_of(root.at("store"));
    run_options options;
    options.uid = unprivileged_uid();
    options.stdin_data = "secret";
    run_result r = run_anchorfs(root.command("create-private-file", {"store/key", "6"}), options);
    expect_plain(r);
    EXPECT_EQ(inode_of(root.at("store")), parent_inode);
    EXPECT_EQ(mode_of(root.at("store")), 0700u);
    struct stat file = lstat_of(root.at("store/key"));
    EXPECT_TRUE(S_ISREG(file.st_mode));
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(file.st_uid, unprivileged_uid());
    EXPECT_EQ(file.st_nlink, 1u);
    EXPECT_EQ(read_file(root.at("store/key")), "secret");
}

// The parent belongs to root while the store's owner is nobody. It is open to
// everyone, so only the owner check keeps the file out of it.
TEST(CreatePrivateFile, ParentOfAnotherOwner_FailsIdentityChangedAndCreatesNothing)
{
    temp_root root(unprivileged_uid());
    make_dir(root.at("foreign"), 0777);
    run_options options;
    options.uid = unprivileged_uid();
    options.stdin_data = "secret";
    run_result r = run_anchorfs(root.command("create-private-file", {"foreign/key", "6"}), options);
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    expect_absent(root.at("foreign/key"));
    EXPECT_EQ(mode_of(root.at("foreign")), 0777u);
    EXPECT_EQ(lstat_of(root.at("foreign")).st_uid, 0u);
}

} // namespace
