// The anchored walks in process: opening the root by identity, walking to held
// parents component by component, and re-proving that held parents are still
// where their paths lead. Every failure must leave no descriptor behind.

#include "anchor/root_anchor.hpp"
#include "support/descriptors.hpp"
#include "support/harness.hpp"
#include "support/tree_lines.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs;
using anchorfs::test::exists;
using anchorfs::test::lstat_of;
using anchorfs::test::make_dir;
using anchorfs::test::make_tree;
using anchorfs::test::open_descriptor_count;
using anchorfs::test::temp_root;
using anchorfs::test::tmpfs_mount;
using anchorfs::test::unprivileged_gid;
using anchorfs::test::unprivileged_uid;
using anchorfs::test::write_file;

struct stat status_of_fd(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        throw std::runtime_error("fstat");
    return status;
}

// The descriptor is a directory with the identity of the object at path.
void expect_directory_at(int fd, const std::string& path)
{
    ASSERT_GE(fd, 0);
    struct stat held = status_of_fd(fd);
    struct stat expected = lstat_of(path);
    EXPECT_TRUE(S_ISDIR(held.st_mode));
    EXPECT_EQ(held.st_dev, expected.st_dev) << path;
    EXPECT_EQ(held.st_ino, expected.st_ino) << path;
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "not opened close-on-exec";
}

// The root of a scratch tree, opened and verified as the front end does.
struct opened_root {
    root_anchor anchor;
    unique_fd fd;

    // Makes the tree's lines (see make_tree) below the root first.
    explicit opened_root(const temp_root& root, std::initializer_list<std::string_view> tree = {})
    {
        make_tree(root.path, tree);
        anchor.path = root.path.c_str();
        anchor.device = root.device;
        anchor.inode = root.inode;
        anchor.owner_uid = root.uid;
        fd = open_root(anchor);
        if (!fd.valid())
            throw std::runtime_error("open_root of a fresh scratch root failed");
        anchor.fd = fd.get();
    }
};

// A root holding a/b, opened by identity, with the held parent of "a/b/x".
struct held_scene {
    temp_root root;
    opened_root opened{root, {"a/", "a/b/"}};
    held_parent held;

    held_scene()
    {
        if (open_held_parent(opened.anchor, "a/b/x", held) != 0)
            throw std::runtime_error("open_held_parent of a/b/x failed");
    }
};

// ---------------------------------------------------------------- open_root

TEST(OpenRoot, MatchingIdentity_ReturnsVerifiedDescriptorAndStatus)
{
    temp_root root;
    root_anchor anchor;
    anchor.path = root.path.c_str();
    anchor.device = root.device;
    anchor.inode = root.inode;
    anchor.owner_uid = root.uid;
    unique_fd fd = open_root(anchor);

    expect_directory_at(fd.get(), root.path);
    EXPECT_EQ(anchor.status.st_ino, root.inode);
    EXPECT_EQ(anchor.status.st_dev, root.device);
}

struct root_refusal {
    const char* name;
    // Arranges the tree; returns the path to open and adjusts the numbers.
    std::function<std::string(const temp_root&, std::uint64_t& device, std::uint64_t& inode, std::uint64_t& uid)>
        arrange;
    int error;
};

const root_refusal root_refusals[] = {
    {"OtherInode", [](const temp_root& r, auto&, auto& inode, auto&) {
         ++inode;
         return r.path;
     }, ESTALE},
    {"OtherDevice", [](const temp_root& r, auto& device, auto&, auto&) {
         ++device;
         return r.path;
     }, ESTALE},
    {"OtherUid", [](const temp_root& r, auto&, auto&, auto& uid) {
         ++uid;
         return r.path;
     }, ESTALE},
    {"UidBeyond32Bits",
     [](const temp_root& r, auto&, auto&, auto& uid) {
         uid += std::uint64_t{1} << 32;
         return r.path;
     }, ESTALE},
    {"LastComponentSymlink",
     [](const temp_root& r, auto&, auto&, auto&) {
         std::string link = r.beside("link");
         EXPECT_EQ(::symlink(r.path.c_str(), link.c_str()), 0);
         return link;
     },
     ELOOP},
    {"RegularFile",
     [](const temp_root& r, auto& device, auto& inode, auto&) {
         std::string file = r.beside("file");
         write_file(file, "x");
         device = lstat_of(file).st_dev;
         inode = lstat_of(file).st_ino;
         return file;
     },
     ENOTDIR},
    {"Missing", [](const temp_root& r, auto&, auto&, auto&) { return r.beside("missing"); }, ENOENT},
};

class OpenRoot_Refused : public testing::TestWithParam<root_refusal> {};

TEST_P(OpenRoot_Refused, FailsWithItsErrorAndClosesEverything)
{
    temp_root root;
    std::uint64_t device = root.device, inode = root.inode, uid = root.uid;
    const std::string path = GetParam().arrange(root, device, inode, uid);
    const int before = open_descriptor_count();
    root_anchor anchor;
    anchor.path = path.c_str();
    anchor.device = device;
    anchor.inode = inode;
    anchor.owner_uid = uid;

    errno = 0;
    EXPECT_FALSE(open_root(anchor).valid());
    EXPECT_EQ(errno, GetParam().error);
    EXPECT_EQ(open_descriptor_count(), before);
}

INSTANTIATE_TEST_SUITE_P(Roots, OpenRoot_Refused, testing::ValuesIn(root_refusals),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the three walkers

enum walker { parent, private_parent, relative_directory };

// Runs one walker; the leaf is written only by the parent walkers.
unique_fd walk(walker kind, const opened_root& root, const char* path, leaf_buffer& leaf)
{
    switch (kind) {
    case parent: return open_parent(root.anchor, path, leaf);
    case private_parent: return open_private_parent(root.anchor, path, leaf);
    case relative_directory: return open_relative_directory(root.anchor, path);
    }
    return unique_fd();
}

const char* walker_name(walker kind)
{
    return kind == parent ? "OpenParent" : kind == private_parent ? "OpenPrivateParent" : "OpenRelativeDirectory";
}

// The scratch tree every walk case runs in:
//   a/b/           a/file         a/link -> b
//   a/other/x/     (a/other owned by another user)
const std::string long_leaf(255, 'n');

void arrange_walk_tree(const temp_root& root)
{
    make_dir(root.at("a"));
    make_dir(root.at("a/b"));
    write_file(root.at("a/file"), "content");
    ASSERT_EQ(::symlink("b", root.at("a/link").c_str()), 0);
    make_dir(root.at("a/other"));
    make_dir(root.at("a/other/x"));
    ASSERT_EQ(::chown(root.at("a/other").c_str(), unprivileged_uid(), unprivileged_gid()), 0);
}

struct walk_case {
    const char* name;
    std::string path;
    std::array<int, 3> error; // per walker; 0 for success
};

const walk_case walk_cases[] = {
    {"SymlinkInMiddle", "a/link/x", {ELOOP, ELOOP, ELOOP}},
    {"RegularFileInMiddle", "a/file/x", {ENOTDIR, ENOTDIR, ENOTDIR}},
    {"MissingInMiddle", "a/missing/x", {ENOENT, ENOENT, ENOENT}},
    {"OtherOwnerInMiddle", "a/other/x", {0, ESTALE, 0}},
    // The parent walkers never open the leaf; the directory walker walks it too.
    {"MissingLeaf", "a/b/missing", {0, 0, ENOENT}},
    {"FileLeaf", "a/file", {0, 0, ENOTDIR}},
    {"SymlinkLeaf", "a/link", {0, 0, ELOOP}},
    {"LongestLeaf", "a/b/" + long_leaf, {0, 0, ENOENT}},
    {"Directory", "a/b", {0, 0, 0}},
    {"Dot", ".", {EINVAL, EINVAL, 0}},
    {"DotDotInside", "a/../a/b", {EINVAL, EINVAL, EINVAL}},
    {"Absolute", "/tmp", {EINVAL, EINVAL, EINVAL}},
    {"Empty", "", {EINVAL, EINVAL, EINVAL}},
    {"ComponentOf256Bytes", "a/" + std::string(256, 'n'), {EINVAL, EINVAL, EINVAL}},
};

class Walk : public testing::TestWithParam<std::tuple<walk_case, walker>> {};

TEST_P(Walk, ReachesTheDirectoryOrFailsWithoutLeaking)
{
    const auto& [c, kind] = GetParam();
    temp_root root;
    arrange_walk_tree(root);
    opened_root opened(root);
    const int before = open_descriptor_count();
    leaf_buffer leaf;
    std::memset(leaf, 'u', sizeof leaf);

    errno = 0;
    unique_fd fd = walk(kind, opened, c.path.c_str(), leaf);
    const int error = errno;

    const int expected = c.error[kind];
    if (expected != 0) {
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(error, expected) << std::strerror(error);
        EXPECT_EQ(open_descriptor_count(), before);
        return;
    }
    ASSERT_TRUE(fd.valid()) << std::strerror(error);
    EXPECT_NE(fd.get(), opened.anchor.fd);
    if (kind == relative_directory) {
        expect_directory_at(fd.get(), c.path == "." ? root.path : root.at(c.path));
        return;
    }
    const std::size_t slash = c.path.rfind('/');
    expect_directory_at(fd.get(), root.at(c.path.substr(0, slash)));
    EXPECT_STREQ(leaf, c.path.c_str() + slash + 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, Walk,
                         testing::Combine(testing::ValuesIn(walk_cases),
                                          testing::Values(parent, private_parent, relative_directory)),
                         [](const auto& info) {
                             return std::string(walker_name(std::get<1>(info.param))) + "_"
                                    + std::get<0>(info.param).name;
                         });

TEST(Walk, AbsentPath_Einval)
{
    temp_root root;
    opened_root opened(root);
    leaf_buffer leaf;
    errno = 0;
    EXPECT_FALSE(open_parent(opened.anchor, nullptr, leaf).valid());
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_FALSE(open_relative_directory(opened.anchor, nullptr).valid());
    EXPECT_EQ(errno, EINVAL);
}

TEST(Walk, SingleName_DuplicatesRootAndKeepsName)
{
    temp_root root;
    opened_root opened(root);
    for (walker kind : {parent, private_parent}) {
        leaf_buffer leaf;
        unique_fd fd = walk(kind, opened, "entry", leaf);
        ASSERT_TRUE(fd.valid()) << walker_name(kind);
        EXPECT_NE(fd.get(), opened.anchor.fd);
        EXPECT_TRUE(same_directory_descriptor(fd.get(), opened.anchor.fd));
        EXPECT_STREQ(leaf, "entry");
    }
}

// The private walk verifies the root afresh even for a single name; the plain
// walk takes the root as it was verified at start-up.
TEST(Walk, SingleName_RootOfOtherOwnerOrDeviceThanRecorded_PrivateWalkRefuses)
{
    temp_root root;
    opened_root opened(root);
    for (bool other_device : {false, true}) {
        root_anchor recorded = opened.anchor;
        if (other_device)
            recorded.status.st_dev += 1;
        else
            recorded.status.st_uid += 1;
        const int before = open_descriptor_count();
        leaf_buffer leaf;

        errno = 0;
        EXPECT_FALSE(open_private_parent(recorded, "entry", leaf).valid()) << other_device;
        EXPECT_EQ(errno, ESTALE);
        EXPECT_EQ(open_descriptor_count(), before);
        unique_fd plain = open_parent(recorded, "entry", leaf);
        EXPECT_TRUE(plain.valid());
    }
}

TEST(Walk, MountInsideRoot_PlainExdevPrivateEstale)
{
    temp_root root;
    make_dir(root.at("a"));
    tmpfs_mount mount(root.at("a/mnt"));
    if (!mount.mounted())
        GTEST_SKIP() << "mounting tmpfs is refused here";
    make_dir(root.at("a/mnt/x"));
    opened_root opened(root);
    const int before = open_descriptor_count();
    leaf_buffer leaf;

    const struct {
        walker kind;
        const char* path;
        int error;
    } cases[] = {
        {parent, "a/mnt/x", EXDEV},
        {private_parent, "a/mnt/x", ESTALE},
        {relative_directory, "a/mnt", EXDEV},
        {relative_directory, "a/mnt/x", EXDEV},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_FALSE(walk(c.kind, opened, c.path, leaf).valid()) << walker_name(c.kind) << " " << c.path;
        EXPECT_EQ(errno, c.error) << walker_name(c.kind) << " " << c.path;
        EXPECT_EQ(open_descriptor_count(), before);
    }
    // The mount point as a leaf is not opened, so it does not stop the walk.
    unique_fd fd = open_parent(opened.anchor, "a/mnt", leaf);
    expect_directory_at(fd.get(), root.at("a"));
    EXPECT_STREQ(leaf, "mnt");
}

// ---------------------------------------------------------------- open_two_parents

TEST(OpenTwoParents, BothWalksSucceed_BothSlotsHeld)
{
    temp_root root;
    arrange_walk_tree(root);
    opened_root opened(root);
    held_parent first, second;

    ASSERT_EQ(open_two_parents(opened.anchor, "a/b/one", "two", first, second), 0);
    expect_directory_at(first.fd.get(), root.at("a/b"));
    expect_directory_at(second.fd.get(), root.path);
    EXPECT_STREQ(first.leaf, "one");
    EXPECT_STREQ(second.leaf, "two");
}

TEST(OpenTwoParents, EitherWalkFails_BothSlotsEmptyAndNothingOpen)
{
    temp_root root;
    arrange_walk_tree(root);
    opened_root opened(root);
    const struct {
        const char* first;
        const char* second;
        int error;
    } cases[] = {
        {"a/link/x", "a/b/y", ELOOP},
        {"a/b/x", "a/link/y", ELOOP},
        {"a/b/x", "a/missing/y", ENOENT},
        {"a/b/x", "a//y", EINVAL},
    };
    for (const auto& c : cases) {
        const int before = open_descriptor_count();
        held_parent first, second;
        errno = 0;
        EXPECT_EQ(open_two_parents(opened.anchor, c.first, c.second, first, second), -1);
        EXPECT_EQ(errno, c.error) << c.first << " " << c.second;
        EXPECT_EQ(first.fd.get(), -1) << c.first << " " << c.second;
        EXPECT_EQ(second.fd.get(), -1) << c.first << " " << c.second;
        EXPECT_EQ(open_descriptor_count(), before) << c.first << " " << c.second;
    }
}

// ---------------------------------------------------------------- identity comparisons

TEST(SameDirectoryDescriptor, DecidesBySameDirectory)
{
    temp_root root;
    make_dir(root.at("a"));
    make_dir(root.at("b"));
    write_file(root.at("file"), "x");
    unique_fd a1(::open(root.at("a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd a2(::open(root.at("a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd b(::open(root.at("b").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd f1(::open(root.at("file").c_str(), O_RDONLY | O_CLOEXEC));
    unique_fd f2(::open(root.at("file").c_str(), O_RDONLY | O_CLOEXEC));
    unique_fd other_device(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // "a" seen through a bind mount: the same directory in another place.
    make_dir(root.at("bound"));
    unique_fd a_bound;
    if (::mount(root.at("a").c_str(), root.at("bound").c_str(), nullptr, MS_BIND, nullptr) == 0) {
        a_bound.reset(::open(root.at("bound").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ::umount2(root.at("bound").c_str(), MNT_DETACH);
    }
    unique_fd closed(::open(root.at("a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int stale_fd = closed.get();
    closed.reset();

    EXPECT_TRUE(same_directory_descriptor(a1.get(), a2.get()));
    const struct {
        const char* name;
        int first;
        int second;
        int error;
    } refused[] = {
        {"other directory", a1.get(), b.get(), ESTALE},
        {"same file twice, not a directory", f1.get(), f2.get(), ESTALE},
        {"directory, then a file", a1.get(), f1.get(), ESTALE},
        {"directory on another device", a1.get(), other_device.get(), ESTALE},
        {"same directory through another mount", a1.get(), a_bound.valid() ? a_bound.get() : b.get(), ESTALE},
        {"closed first", stale_fd, a1.get(), EBADF},
        {"closed second", a1.get(), stale_fd, EBADF},
    };
    for (const auto& c : refused) {
        errno = 0;
        EXPECT_FALSE(same_directory_descriptor(c.first, c.second)) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
}

TEST(DirectoryIdentity, TrueOnlyForExactDirectoryIdentity)
{
    temp_root root;
    write_file(root.at("file"), "x");
    unique_fd dir(::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd file(::open(root.at("file").c_str(), O_RDONLY | O_CLOEXEC));
    struct stat file_status = lstat_of(root.at("file"));
    const std::uint64_t dev = root.device, ino = root.inode, uid = root.uid;

    EXPECT_TRUE(directory_identity(dir.get(), dev, ino, uid));
    const struct {
        const char* name;
        int fd;
        std::uint64_t device, inode, uid;
        int error;
    } refused[] = {
        {"other device", dir.get(), dev + 1, ino, uid, ESTALE},
        {"other inode", dir.get(), dev, ino + 1, uid, ESTALE},
        {"other uid", dir.get(), dev, ino, uid + 1, ESTALE},
        {"uid beyond 32 bits", dir.get(), dev, ino, uid + (std::uint64_t{1} << 32), ESTALE},
        {"file with its own identity", file.get(), file_status.st_dev, file_status.st_ino, file_status.st_uid,
         ESTALE},
        {"not a descriptor", -1, dev, ino, uid, EBADF},
    };
    for (const auto& c : refused) {
        errno = 0;
        EXPECT_FALSE(directory_identity(c.fd, c.device, c.inode, c.uid)) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
}

// ---------------------------------------------------------------- the anchoring re-proof

// A run that holds the parent of "a/b/x" (the directory a/b), then an
// adversary that changes the tree before the re-proof.
struct anchoring_case {
    const char* name;
    std::function<void(const temp_root&)> adversary;
    int error; // 0: still anchored
};

void rename_entry(const std::string& from, const std::string& to)
{
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to;
}

const anchoring_case anchoring_cases[] = {
    {"Unchanged", [](const temp_root&) {}, 0},
    {"UnrelatedEntryAdded", [](const temp_root& r) { make_dir(r.at("a/b/x")); }, 0},
    // The re-walk itself fails at the moved name and reports that.
    {"HeldParentMoved", [](const temp_root& r) { rename_entry(r.at("a/b"), r.at("c")); }, ENOENT},
    {"HeldParentMovedAndLookAlikeCreated",
     [](const temp_root& r) {
         rename_entry(r.at("a/b"), r.at("c"));
         make_dir(r.at("a/b"));
     },
     ESTALE},
    {"HeldParentMovedAndLinkToItPlanted",
     [](const temp_root& r) {
         rename_entry(r.at("a/b"), r.at("c"));
         ASSERT_EQ(::symlink("../c", r.at("a/b").c_str()), 0);
     },
     ELOOP},
    {"MiddleDirectoryReplaced",
     [](const temp_root& r) {
         rename_entry(r.at("a"), r.at("old-a"));
         make_tree(r.path, {"a/", "a/b/"});
     },
     ESTALE},
    {"RootReplaced",
     [](const temp_root& r) {
         rename_entry(r.path, r.beside("old"));
         make_dir(r.path);
         make_tree(r.path, {"a/", "a/b/"});
     },
     ESTALE},
    {"RootPathMadeLinkToRoot",
     [](const temp_root& r) {
         rename_entry(r.path, r.beside("real"));
         ASSERT_EQ(::symlink("real", r.path.c_str()), 0);
     },
     ELOOP},
    {"RootMovedAway", [](const temp_root& r) { rename_entry(r.path, r.beside("old")); }, ENOENT},
};

class PathsStillAnchored : public testing::TestWithParam<anchoring_case> {};

TEST_P(PathsStillAnchored, ProvesOrRefusesWithoutTouchingTheHeldDescriptor)
{
    const anchoring_case& c = GetParam();
    held_scene scene;
    auto& [root, opened, held] = scene;
    const struct stat held_before = status_of_fd(held.fd.get());
    c.adversary(root);
    const int before = open_descriptor_count();

    errno = 0;
    const bool anchored = paths_still_anchored(opened.anchor, {"a/b/x", held.fd.get()});
    const int error = errno;

    EXPECT_EQ(anchored, c.error == 0);
    if (c.error != 0) {
        EXPECT_EQ(error, c.error) << std::strerror(error);
    }
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_EQ(status_of_fd(held.fd.get()).st_ino, held_before.st_ino);
}

INSTANTIATE_TEST_SUITE_P(Adversaries, PathsStillAnchored, testing::ValuesIn(anchoring_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PathsStillAnchored, RootRemoved_Enoent)
{
    temp_root root;
    opened_root opened(root);
    held_parent held;
    ASSERT_EQ(open_held_parent(opened.anchor, "x", held), 0);
    ASSERT_EQ(::rmdir(root.path.c_str()), 0);

    errno = 0;
    EXPECT_FALSE(paths_still_anchored(opened.anchor, {"x", held.fd.get()}));
    EXPECT_EQ(errno, ENOENT);
}

TEST(PathsStillAnchored, MountOverHeldParentPath_Exdev)
{
    held_scene scene;
    auto& [root, opened, held] = scene;
    tmpfs_mount mount(root.at("a/b"));
    if (!mount.mounted())
        GTEST_SKIP() << "mounting tmpfs is refused here";

    errno = 0;
    EXPECT_FALSE(paths_still_anchored(opened.anchor, {"a/b/x", held.fd.get()}));
    EXPECT_EQ(errno, EXDEV);
}

// The root's path bound over itself leads to the same directory through
// another mount: that is not the root the run verified.
TEST(PathsStillAnchored, RootBindMountedOverItself_Estale)
{
    held_scene scene;
    auto& [root, opened, held] = scene;
    if (::mount(root.path.c_str(), root.path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "bind mounts are refused here";

    errno = 0;
    const bool anchored = paths_still_anchored(opened.anchor, {"a/b/x", held.fd.get()});
    const int error = errno;
    ASSERT_EQ(::umount2(root.path.c_str(), MNT_DETACH), 0);
    EXPECT_FALSE(anchored);
    EXPECT_EQ(error, ESTALE);
}

// Pairs are checked in order; an absent second pair does not end the checks.
TEST(PathsStillAnchored, EveryGivenPairMustMatch)
{
    temp_root root;
    opened_root opened(root, {"a/", "a/b/"});
    held_parent deep, shallow, top;
    ASSERT_EQ(open_held_parent(opened.anchor, "a/b/x", deep), 0);
    ASSERT_EQ(open_held_parent(opened.anchor, "a/y", shallow), 0);
    ASSERT_EQ(open_held_parent(opened.anchor, "z", top), 0);
    const anchored_pair good_deep{"a/b/x", deep.fd.get()};
    const anchored_pair good_shallow{"a/y", shallow.fd.get()};
    const anchored_pair good_top{"z", top.fd.get()};
    const anchored_pair wrong{"a/y", deep.fd.get()}; // a/y's parent is a, not a/b
    const anchored_pair absent{};

    const struct {
        const char* name;
        anchored_pair first, second, third;
        bool anchored;
    } cases[] = {
        {"first only", good_deep, absent, absent, true},
        {"all three", good_deep, good_shallow, good_top, true},
        {"first wrong", wrong, good_shallow, good_top, false},
        {"second wrong", good_deep, wrong, absent, false},
        {"third wrong", good_deep, good_shallow, wrong, false},
        {"second absent, third wrong", good_deep, absent, wrong, false},
    };
    for (const auto& c : cases) {
        const int before = open_descriptor_count();
        errno = 0;
        EXPECT_EQ(paths_still_anchored(opened.anchor, c.first, c.second, c.third), c.anchored) << c.name;
        if (!c.anchored) {
            EXPECT_EQ(errno, ESTALE) << c.name;
        }
        EXPECT_EQ(open_descriptor_count(), before) << c.name;
    }
}

TEST(HeldParentMatches, ComparesTheWalkedParentWithTheHeldOne)
{
    held_scene scene;
    auto& [root, opened, held] = scene;
    const root_anchor& anchor = opened.anchor;

    EXPECT_TRUE(held_parent_matches(anchor, "a/b/x", held.fd.get()));
    EXPECT_TRUE(held_parent_matches(anchor, "a/b/other", held.fd.get()));
    errno = 0;
    EXPECT_FALSE(held_parent_matches(anchor, "a/x", held.fd.get()));
    EXPECT_EQ(errno, ESTALE);
    errno = 0;
    EXPECT_FALSE(held_parent_matches(anchor, "a/../a/b/x", held.fd.get()));
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_FALSE(held_parent_matches(anchor, "a/b/x", -1));
    EXPECT_EQ(errno, EBADF);
}

} // namespace
