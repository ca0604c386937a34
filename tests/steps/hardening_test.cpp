// Hardening primitives of the private store, called in process: owner-only
// modes, refusal of what does not belong before its mode is touched, and the
// entry budget and depth limit of a tree validation.

#include "private_store/private_store_support.hpp"

#include "platform/owners.hpp"
#include "steps/hardening.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::private_store;
using anchorfs::unique_fd;

// A scratch root with the tree's top directory "t" below it, and the parent held open.
struct hardening_scene {
    temp_root root;
    struct stat root_status = lstat_of(root.path);
    unique_fd root_fd{::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    std::string top = root.at("t");

    hardening_scene() { make_dir(top); }

    // The top directory opened and hardened as the commands do before validating.
    unique_fd open_top()
    {
        unique_fd fd;
        struct stat status;
        EXPECT_TRUE(anchorfs::open_hardened_private_directory_at(root_fd.get(), "t", root_status, nullptr, fd, status))
            << std::strerror(errno);
        return fd;
    }

    // Validation of the whole tree below "t"; errno and the budget left are kept.
    bool validate(std::uint64_t& budget, std::uint64_t depth_limit, int& error)
    {
        unique_fd fd = open_top();
        errno = 0;
        bool ok = anchorfs::validate_private_tree_descriptor(fd.get(), root_status, budget, 0, depth_limit);
        error = errno;
        return ok;
    }
};

struct mode_case {
    const char* name;
    bool directory;
    mode_t before;
    mode_t after;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const mode_case& c, std::ostream* os)
{
    *os << c.name;
}

class HardeningModes : public ::testing::TestWithParam<mode_case> {};

TEST_P(HardeningModes, HardenedEntry_EndsOwnerOnlyWithSpecialBitsCleared)
{
    const mode_case& c = GetParam();
    hardening_scene scene;
    const std::string path = scene.root.at("entry");
    if (c.directory)
        make_dir(path, c.before);
    else
        write_file(path, "content", c.before);
    ASSERT_EQ(mode_of(path), c.before);
    const ino_t inode = lstat_of(path).st_ino;

    struct stat final_status;
    if (c.directory) {
        unique_fd held;
        ASSERT_TRUE(anchorfs::open_hardened_private_directory_at(scene.root_fd.get(), "entry", scene.root_status,
                                                                 nullptr, held, final_status));
        // The same again through the open descriptor: idempotent.
        EXPECT_TRUE(anchorfs::harden_private_directory(held.get(), scene.root_status));
    } else {
        ASSERT_TRUE(anchorfs::harden_private_regular_at(scene.root_fd.get(), "entry", scene.root_status, nullptr,
                                                        final_status));
        EXPECT_EQ(read_file(path), "content");
    }
    EXPECT_EQ(mode_of(path), c.after);
    EXPECT_EQ(final_status.st_mode & 07777, c.after);
    EXPECT_EQ(final_status.st_ino, inode);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HardeningModes,
    ::testing::Values(mode_case{"Directory0755", true, 0755, 0700}, mode_case{"Directory0700", true, 0700, 0700},
                      mode_case{"DirectorySetgidSticky", true, 03775, 0700},
                      mode_case{"File0644", false, 0644, 0600}, mode_case{"FileSetuid04755", false, 04755, 0600},
                      mode_case{"File0000", false, 0000, 0600}, mode_case{"File0600", false, 0600, 0600},
                      mode_case{"FileSetuid04600", false, 04600, 0600}),
    [](const ::testing::TestParamInfo<mode_case>& info) { return info.param.name; });

// Something that does not belong, placed at the top or two levels down.
struct intruder_case {
    const char* name;
    const char* where; // directory below the top that receives the intruder
    bool symbolic_link;
};

void PrintTo(const intruder_case& c, std::ostream* os)
{
    *os << c.name;
}

class ValidateIntruder : public ::testing::TestWithParam<intruder_case> {};

TEST_P(ValidateIntruder, TreeHoldingIt_FailsStaleAndLeavesItUntouched)
{
    const intruder_case& c = GetParam();
    hardening_scene scene;
    make_dir(scene.top + "/a");
    make_dir(scene.top + "/a/b");
    write_file(scene.top + "/a/b/plain", "p", 0644);
    write_file(scene.top + "/plain", "p", 0644);
    const std::string dir = std::string(c.where).empty() ? scene.top : scene.top + "/" + c.where;
    const std::string outside = scene.root.beside("outside");
    write_file(outside, "outside", 0644);
    std::string intruder;
    if (c.symbolic_link) {
        intruder = dir + "/link";
        ASSERT_EQ(::symlink(outside.c_str(), intruder.c_str()), 0);
    } else {
        intruder = dir + "/linked";
        write_file(intruder, "two links", 0644);
        ASSERT_EQ(::link(intruder.c_str(), scene.root.beside("second-link").c_str()), 0);
    }
    const struct stat before = lstat_of(intruder);

    std::uint64_t budget = 100;
    int error = 0;
    EXPECT_FALSE(scene.validate(budget, 16, error));
    EXPECT_EQ(error, ESTALE);
    const struct stat after = lstat_of(intruder);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(mode_of(outside), 0644); // a link's target is never touched
    EXPECT_EQ(read_file(outside), "outside");
}

INSTANTIATE_TEST_SUITE_P(Placements, ValidateIntruder,
                         ::testing::Values(intruder_case{"SymlinkAtTop", "", true},
                                           intruder_case{"SymlinkNested", "a/b", true},
                                           intruder_case{"TwoLinkFileAtTop", "", false},
                                           intruder_case{"TwoLinkFileNested", "a/b", false}),
                         [](const ::testing::TestParamInfo<intruder_case>& info) { return info.param.name; });

// What does not belong is refused before its mode is touched: another owner,
// another device, another type, or another object than the caller expects.
enum class hardening_call { open_directory, harden_regular, harden_held_directory, validate_held_tree };

struct refusal_case {
    const char* name;
    hardening_call call;
    bool directory;          // "entry" is a directory (else a regular file)
    bool other_owner;        // "entry" belongs to the unprivileged user
    bool other_device;       // the root's status names another device
    bool expect_other;       // the caller expects the status of "other", a look-alike
};

class HardeningRefusal : public ::testing::TestWithParam<refusal_case> {};

TEST_P(HardeningRefusal, ForeignEntry_FailsStaleModeUntouched)
{
    const refusal_case& c = GetParam();
    hardening_scene scene;
    const std::string path = scene.root.at("entry");
    const std::string other = scene.root.at("other");
    if (c.directory) {
        make_dir(path, 0755);
        make_dir(other, 0755);
    } else {
        write_file(path, "content", 0644);
        write_file(other, "content", 0644);
    }
    if (c.other_owner) {
        ASSERT_EQ(::lchown(path.c_str(), unprivileged_uid(), unprivileged_gid()), 0);
    }
    struct stat root_status = scene.root_status;
    if (c.other_device)
        root_status.st_dev += 1;
    const struct stat other_status = lstat_of(other);
    const struct stat* expected = c.expect_other ? &other_status : nullptr;

    bool done = true;
    errno = 0;
    struct stat final_status;
    switch (c.call) {
    case hardening_call::open_directory: {
        unique_fd held;
        done = anchorfs::open_hardened_private_directory_at(scene.root_fd.get(), "entry", root_status, expected, held,
                                                            final_status);
        break;
    }
    case hardening_call::harden_regular:
        done = anchorfs::harden_private_regular_at(scene.root_fd.get(), "entry", root_status, expected, final_status);
        break;
    case hardening_call::harden_held_directory: {
        unique_fd held(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(held.valid());
        errno = 0;
        done = anchorfs::harden_private_directory(held.get(), root_status);
        break;
    }
    case hardening_call::validate_held_tree: {
        unique_fd held(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(held.valid());
        std::uint64_t budget = 10;
        errno = 0;
        done = anchorfs::validate_private_tree_descriptor(held.get(), root_status, budget, 0, 16);
        break;
    }
    }
    EXPECT_FALSE(done);
    EXPECT_EQ(errno, ESTALE);
    EXPECT_EQ(mode_of(path), c.directory ? 0755u : 0644u);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, HardeningRefusal,
    ::testing::Values(
        refusal_case{"OpenDirectory_OtherOwner", hardening_call::open_directory, true, true, false, false},
        refusal_case{"OpenDirectory_OtherDevice", hardening_call::open_directory, true, false, true, false},
        refusal_case{"OpenDirectory_NotTheExpectedOne", hardening_call::open_directory, true, false, false, true},
        refusal_case{"OpenDirectory_NameIsAFile", hardening_call::open_directory, false, false, false, false},
        refusal_case{"HardenFile_OtherOwner", hardening_call::harden_regular, false, true, false, false},
        refusal_case{"HardenFile_OtherDevice", hardening_call::harden_regular, false, false, true, false},
        refusal_case{"HardenFile_NotTheExpectedOne", hardening_call::harden_regular, false, false, false, true},
        refusal_case{"HardenFile_NameIsADirectory", hardening_call::harden_regular, true, false, false, false},
        refusal_case{"HeldDirectory_OtherOwner", hardening_call::harden_held_directory, true, true, false, false},
        refusal_case{"HeldDirectory_OtherDevice", hardening_call::harden_held_directory, true, false, true, false},
        refusal_case{"HeldDirectory_IsAFile", hardening_call::harden_held_directory, false, false, false, false},
        refusal_case{"ValidatedTop_NotHardened", hardening_call::validate_held_tree, true, false, false, false},
        refusal_case{"ValidatedTop_OtherOwner", hardening_call::validate_held_tree, true, true, false, false},
        refusal_case{"ValidatedTop_OtherDevice", hardening_call::validate_held_tree, true, false, true, false}),
    [](const ::testing::TestParamInfo<refusal_case>& info) { return info.param.name; });

TEST(ValidateBudget, ExactBudget_ValidatesHardensAllAndLeavesZero)
{
    hardening_scene scene;
    make_five_entry_tree(scene.top);
    std::uint64_t budget = 5;
    int error = 0;
    EXPECT_TRUE(scene.validate(budget, 16, error)) << std::strerror(error);
    EXPECT_EQ(budget, 0u);
    for (const auto& [path, mode] : tree_modes(scene.top))
        EXPECT_EQ(mode, path == "." || path == "a" || path == "a/b" ? 0700 : 0600) << path;
}

TEST(ValidateBudget, OneEntryMoreThanBudget_FailsE2bigWithBudgetSpent)
{
    hardening_scene scene;
    make_five_entry_tree(scene.top);
    std::uint64_t budget = 4;
    int error = 0;
    EXPECT_FALSE(scene.validate(budget, 16, error));
    EXPECT_EQ(error, E2BIG);
    EXPECT_EQ(budget, 0u);
}

TEST(ValidateBudget, EmptyDirectory_ValidatesWithoutConsumingBudget)
{
    hardening_scene scene;
    for (std::uint64_t start : {0u, 3u}) {
        std::uint64_t budget = start;
        int error = 0;
        EXPECT_TRUE(scene.validate(budget, 0, error)) << std::strerror(error);
        EXPECT_EQ(budget, start);
    }
}

TEST(ValidateDepth, LimitZeroFilesOnly_Validates)
{
    hardening_scene scene;
    write_file(scene.top + "/f", "f", 0644);
    std::uint64_t budget = 10;
    int error = 0;
    EXPECT_TRUE(scene.validate(budget, 0, error)) << std::strerror(error);
    EXPECT_EQ(mode_of(scene.top + "/f"), 0600);
}

TEST(ValidateDepth, LimitZeroEmptySubdirectory_FailsE2bigAfterHardeningIt)
{
    hardening_scene scene;
    make_dir(scene.top + "/sub", 0755);
    std::uint64_t budget = 10;
    int error = 0;
    EXPECT_FALSE(scene.validate(budget, 0, error));
    EXPECT_EQ(error, E2BIG);
    EXPECT_EQ(mode_of(scene.top + "/sub"), 0700);
}

TEST(ValidateDevice, MountedFileSystemInTree_FailsStaleAndMountPointUntouched)
{
    hardening_scene scene;
    tmpfs_mount mount(scene.top + "/mnt");
    if (!mount.mounted())
        GTEST_SKIP() << "mounting a tmpfs is refused here";
    ASSERT_EQ(::chmod(mount.path.c_str(), 0755), 0);
    std::uint64_t budget = 10;
    int error = 0;
    EXPECT_FALSE(scene.validate(budget, 16, error));
    EXPECT_EQ(error, ESTALE);
    EXPECT_EQ(mode_of(mount.path), 0755);
}

} // namespace
