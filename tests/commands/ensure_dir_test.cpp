// ensure-dir and ensure-private-dir through the binary: the directory line of
// a created or accepted directory, what each command refuses, and that a
// directory once made is never removed, also when the tree changes under it.

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/tree_lines.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;

constexpr unsigned directory_0700 = S_IFDIR | 0700; // 16832

std::string link_target(const std::string& path)
{
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

run_options checked_options()
{
    run_options options;
    options.check_fds = true;
    return options;
}

// ---------------------------------------------------------------- creating

// A set-group-id parent hands its bit to the new directory (02700), and the
// private command accepts its own directory all the same.
class EnsureDir_Create : public testing::TestWithParam<std::tuple<const char*, mode_t, bool>> {};

TEST_P(EnsureDir_Create, FreeName_CreatedAt0700WithExactDirectoryLine)
{
    const auto& [command, umask, set_group_id] = GetParam();
    temp_root root(unprivileged_uid());
    make_dir(root.at("a"));
    ASSERT_EQ(::chown(root.at("a").c_str(), unprivileged_uid(), unprivileged_gid()), 0);
    if (set_group_id) {
        ASSERT_EQ(::chmod(root.at("a").c_str(), 02755), 0);
    }
    run_options options = checked_options();
    options.uid = unprivileged_uid();
    options.umask = umask;
    options.trace = true;

    run_result r = run_anchorfs(root.command(command, {"a/made"}), options);

    ASSERT_TRUE(exists(root.at("a/made")));
    struct stat made = lstat_of(root.at("a/made"));
    const unsigned expected = set_group_id ? directory_0700 | S_ISGID : directory_0700;
    EXPECT_EQ(made.st_mode, expected);
    EXPECT_EQ(made.st_uid, unprivileged_uid());
    expect_outcome(r, directory_line(made.st_dev, made.st_ino, unprivileged_uid(), expected), exit_ok);
    EXPECT_EQ(calls_of(r, "mkdirat"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Umasks, EnsureDir_Create,
                         testing::Combine(testing::Values("ensure-dir", "ensure-private-dir"),
                                          testing::Values(mode_t{022}, mode_t{077}), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)[7] == 'p' ? "Private" : "Plain") + "_Umask0"
                                    + std::to_string(std::get<1>(info.param) >> 3 & 7)
                                    + std::to_string(std::get<1>(info.param) & 7)
                                    + (std::get<2>(info.param) ? "_SetGroupIdParent" : "");
                         });

TEST(EnsureDir, SecondRun_AcceptsTheSameDirectory)
{
    temp_root root;
    for (const char* command : {"ensure-dir", "ensure-private-dir"}) {
        run_result first = run_anchorfs(root.command(command, {"made"}), checked_options());
        ASSERT_TRUE(exists(root.at("made")));
        const ino_t inode = lstat_of(root.at("made")).st_ino;
        run_result second = run_anchorfs(root.command(command, {"made"}), checked_options());

        expect_outcome(first, directory_line_of(root.at("made")), exit_ok);
        expect_outcome(second, first.out, exit_ok);
        EXPECT_EQ(lstat_of(root.at("made")).st_ino, inode) << command;
    }
}

// ---------------------------------------------------------------- owner and permissions

struct mode_case {
    const char* name;
    const char* command;
    std::optional<mode_t> existing; // permissions of a directory already there; none: the run creates it
    mode_t umask;
    bool other_owner;   // the existing directory belongs to another user
    bool accepted;      // else IDENTITY_CHANGED
    mode_t final_mode;  // permission bits of the directory afterwards
};

const mode_case mode_cases[] = {
    {"Plain_CreatedUnderUmask0200", "ensure-dir", std::nullopt, 0200, false, true, 0500},
    {"Private_CreatedUnderUmask0200", "ensure-private-dir", std::nullopt, 0200, false, false, 0500},
    {"Plain_Existing0755", "ensure-dir", 0755, 022, false, true, 0755},
    {"Private_Existing0755", "ensure-private-dir", 0755, 022, false, false, 0755},
    {"Private_Existing0700", "ensure-private-dir", 0700, 022, false, true, 0700},
    // Set-id and sticky bits are not part of the permission check.
    {"Private_Existing0700WithSetgidAndSticky", "ensure-private-dir", 03700, 022, false, true, 03700},
    {"Plain_ExistingOfOtherOwner", "ensure-dir", 0700, 022, true, true, 0700},
    {"Private_ExistingOfOtherOwner", "ensure-private-dir", 0700, 022, true, false, 0700},
};

class EnsureDir_Modes : public testing::TestWithParam<mode_case> {};

TEST_P(EnsureDir_Modes, AcceptsOrRefusesAndNeverChangesTheDirectory)
{
    const mode_case& c = GetParam();
    temp_root root;
    std::optional<ino_t> inode;
    if (c.existing) {
        make_dir(root.at("made"), *c.existing);
        if (c.other_owner) {
            ASSERT_EQ(::chown(root.at("made").c_str(), unprivileged_uid(), unprivileged_gid()), 0);
        }
        ASSERT_EQ(::chmod(root.at("made").c_str(), *c.existing), 0); // chown drops set-id bits
        inode = lstat_of(root.at("made")).st_ino;
    }
    run_options options = checked_options();
    options.umask = c.umask;

    run_result r = run_anchorfs(root.command(c.command, {"made"}), options);

    ASSERT_TRUE(exists(root.at("made")));
    struct stat after = lstat_of(root.at("made"));
    EXPECT_TRUE(S_ISDIR(after.st_mode));
    EXPECT_EQ(after.st_mode & 07777, c.final_mode);
    if (inode) {
        EXPECT_EQ(after.st_ino, *inode);
    }
    expect_outcome(r, c.accepted ? directory_line_of(root.at("made")) : failure_line("IDENTITY_CHANGED", ESTALE),
               c.accepted ? exit_ok : exit_failure);
}

INSTANTIATE_TEST_SUITE_P(Modes, EnsureDir_Modes, testing::ValuesIn(mode_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- refused names and parents

struct refusal_case {
    const char* name;
    tree_lines tree;
    std::string path;
    std::string line;
};

const refusal_case refusal_cases[] = {
    {"FileAtName", {"made=kept"}, "made", failure_line("ENOTDIR", ENOTDIR)},
    {"SymlinkToDirectoryAtName", {"target/", "made->target"}, "made", failure_line("ELOOP", ELOOP)},
    {"DanglingSymlinkAtName", {"made->nowhere"}, "made", failure_line("ELOOP", ELOOP)},
    {"SymlinkInParentPath", {"target/", "link->target"}, "link/made", failure_line("ELOOP", ELOOP)},
    {"FileInParentPath", {"file=kept"}, "file/made", failure_line("ENOTDIR", ENOTDIR)},
    {"MissingParent", {}, "missing/made", failure_line("ENOENT", ENOENT)},
    {"DotDotInPath", {"target/"}, "target/../made", failure_line("EINVAL", EINVAL)},
};

// The tree as names with their inode, type and (for links) target.
std::vector<std::string> snapshot(const temp_root& root)
{
    std::vector<std::string> entries;
    for (const char* name : {"made", "target", "target/made", "link", "file", "missing"}) {
        const std::string path = root.at(name);
        if (!exists(path))
            continue;
        struct stat status = lstat_of(path);
        std::string entry = std::string(name) + " " + std::to_string(status.st_ino) + " "
                            + std::to_string(status.st_mode);
        if (S_ISLNK(status.st_mode))
            entry += " -> " + link_target(path);
        if (S_ISREG(status.st_mode))
            entry += " = " + read_file(path);
        entries.push_back(entry);
    }
    return entries;
}

class EnsureDir_Refused : public testing::TestWithParam<std::tuple<refusal_case, const char*>> {};

TEST_P(EnsureDir_Refused, FailsBeforeOrWithoutChangingTheTree)
{
    const auto& [c, command] = GetParam();
    temp_root root;
    make_tree(root.path, c.tree);
    const std::vector<std::string> before = snapshot(root);
    run_options options = checked_options();
    options.trace = true;

    run_result r = run_anchorfs(root.command(command, {c.path}), options);

    expect_outcome(r, c.line, exit_failure);
    EXPECT_EQ(snapshot(root), before);
    EXPECT_FALSE(exists(root.at("target/made")));
    if (c.path.find('/') != std::string::npos) {
        EXPECT_EQ(calls_of(r, "mkdirat"), 0u) << "the parent walk must fail before anything is created";
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, EnsureDir_Refused,
                         testing::Combine(testing::ValuesIn(refusal_cases),
                                          testing::Values("ensure-dir", "ensure-private-dir")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name)
                                    + (std::get<1>(info.param)[7] == 'p' ? "_Private" : "_Plain");
                         });

TEST(EnsureDir, MkdiratRefused_EaccesAndNothingCreated)
{
    temp_root root; // owned by root, 0755
    run_options options = checked_options();
    options.uid = unprivileged_uid();

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    expect_outcome(r, failure_line("EACCES", EACCES), exit_failure);
    EXPECT_FALSE(exists(root.at("made")));
}

// ---------------------------------------------------------------- other file systems

TEST(EnsureDir, MountPointAtName_IdentityChangedAndMountKept)
{
    temp_root root;
    tmpfs_mount mount(root.at("made"));
    if (!mount.mounted())
        GTEST_SKIP() << "mounting tmpfs is refused here";
    ASSERT_EQ(::chmod(root.at("made").c_str(), 0700), 0);
    const dev_t mounted_device = lstat_of(root.at("made")).st_dev;
    ASSERT_NE(mounted_device, root.device);

    for (const char* command : {"ensure-dir", "ensure-private-dir"}) {
        run_result r = run_anchorfs(root.command(command, {"made"}), checked_options());
        expect_outcome(r, failure_line("IDENTITY_CHANGED", ESTALE), exit_failure);
        EXPECT_EQ(lstat_of(root.at("made")).st_dev, mounted_device) << command;
    }
}

TEST(EnsureDir, ParentOnOtherFileSystem_ExdevAndNothingCreated)
{
    temp_root root;
    tmpfs_mount mount(root.at("m"));
    if (!mount.mounted())
        GTEST_SKIP() << "mounting tmpfs is refused here";

    for (const char* command : {"ensure-dir", "ensure-private-dir"}) {
        run_result r = run_anchorfs(root.command(command, {"m/made"}), checked_options());
        expect_outcome(r, failure_line("EXDEV", EXDEV), exit_failure);
        EXPECT_FALSE(exists(root.at("m/made"))) << command;
    }
}

// ---------------------------------------------------------------- races and late failures

// The adversary replaces a directory with an empty look-alike; what the run
// holds open stays the old one.
void replace_with_look_alike(const std::string& path, const std::string& away)
{
    const mode_t mode = lstat_of(path).st_mode & 07777;
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0) << path;
    make_dir(path, mode);
}

enum class made_at { nowhere, root, old_root, old_parent, replaced_by_file };

struct late_case {
    const char* name;
    const char* command;
    std::string path;
    std::string rules;
    std::string pause; // expected pause event, empty when none
    std::function<void(const temp_root&)> adversary;
    std::string line;
    made_at where;
};

// The adversary most rows share: the root swapped for a look-alike, the old one kept beside it as "old".
void replace_root(const temp_root& r)
{
    replace_with_look_alike(r.path, r.beside("old"));
}

const late_case late_cases[] = {
    // After mkdirat the after-mutation check finds another root.
    {"RootReplacedAfterMkdirat_Plain", "ensure-dir", "made", "pause:mkdirat:1", "mkdirat 1", replace_root,
     failure_line("RACE_PRESERVED", ESTALE), made_at::old_root},
    {"RootReplacedAfterMkdirat_Private", "ensure-private-dir", "made", "pause:mkdirat:1", "mkdirat 1", replace_root,
     failure_line("RACE_PRESERVED", ESTALE), made_at::old_root},
    {"ParentReplacedAfterMkdirat", "ensure-dir", "a/made", "pause:mkdirat:1", "mkdirat 1",
     [](const temp_root& r) { replace_with_look_alike(r.at("a"), r.at("old-a")); },
     failure_line("RACE_PRESERVED", ESTALE), made_at::old_parent},
    // After the flush only the final check is left to notice.
    {"RootReplacedAfterFsync", "ensure-dir", "made", "pause:fsync:1", "fsync 1", replace_root,
     failure_line("RACE_PRESERVED", ESTALE), made_at::old_root},
    // openat 1 opens the root at start-up, openat 2 the fresh root of the first
    // anchoring check; the second check, right before mkdirat, then fails.
    {"RootReplacedBeforeMkdirat", "ensure-dir", "made", "pause:openat:2", "openat 2", replace_root,
     failure_line("IDENTITY_CHANGED", ESTALE), made_at::nowhere},
    // The name no longer holds a directory when the run looks at what it made.
    {"MadeReplacedByFileAfterMkdirat", "ensure-dir", "made", "pause:mkdirat:1", "mkdirat 1",
     [](const temp_root& r) {
         ASSERT_EQ(::rmdir(r.at("made").c_str()), 0);
         write_file(r.at("made"), "file");
     },
     failure_line("IDENTITY_CHANGED", ESTALE), made_at::replaced_by_file},
    {"FsyncFails", "ensure-dir", "made", "fail:fsync:1:EIO", "", nullptr, failure_line("FILESYSTEM_ERROR", EIO),
     made_at::root},
    {"FsyncFails_Private", "ensure-private-dir", "made", "fail:fsync:1:EIO", "", nullptr,
     failure_line("FILESYSTEM_ERROR", EIO), made_at::root},
};

class EnsureDir_Late : public testing::TestWithParam<late_case> {};

TEST_P(EnsureDir_Late, FailsAndLeavesTheCreatedDirectoryInPlace)
{
    const late_case& c = GetParam();
    temp_root root;
    make_dir(root.at("a"));
    run_options options = checked_options();
    options.trace = true;
    options.seam.rules = c.rules;
    options.seam.on_pause = [&](const std::string&) { c.adversary(root); };

    run_result r = run_anchorfs(root.command(c.command, {c.path}), options);

    expect_outcome(r, c.line, exit_failure);
    EXPECT_EQ(r.pauses, c.pause.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.pause});
    const std::string leaf = "made";
    const std::string candidates[] = {root.at(leaf), root.at("a/" + leaf), root.beside("old/" + leaf),
                                      root.beside("old/a/" + leaf), root.at("old-a/" + leaf)};
    std::string expected_at;
    switch (c.where) {
    case made_at::nowhere: break;
    case made_at::root: expected_at = root.at(c.path); break;
    case made_at::old_root: expected_at = root.beside("old/" + c.path); break;
    case made_at::old_parent: expected_at = root.at("old-a/" + leaf); break;
    case made_at::replaced_by_file: EXPECT_EQ(read_file(root.at(c.path)), "file"); break;
    }
    for (const std::string& candidate : candidates) {
        if (c.where == made_at::replaced_by_file && candidate == root.at(c.path))
            continue;
        if (candidate == expected_at) {
            ASSERT_TRUE(exists(candidate)) << "the created directory was removed: " << candidate;
            EXPECT_EQ(lstat_of(candidate).st_mode, directory_0700) << candidate;
        } else {
            EXPECT_FALSE(exists(candidate)) << candidate;
        }
    }
    if (c.where == made_at::nowhere) {
        EXPECT_EQ(calls_of(r, "mkdirat"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Races, EnsureDir_Late, testing::ValuesIn(late_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
