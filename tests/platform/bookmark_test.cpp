// Bookmark records and the look-up of a directory by its inode, called in
// process on the roads the commands' runs do not take: a record resolved
// without a file-system identifier, and searches that must come back empty.

#include "platform/bookmark.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/owners.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// Without an identifier the handle is opened against the nearest ancestor of
// the recorded path that still exists, so a directory found again after its
// parent was renamed is found at its new place, not at the recorded path.
struct moved_case {
    const char* name;
    const char* moved_from; // renamed after the record was made; empty: nothing moves
    const char* moved_to;
    const char* found;      // the path expected, below the root
};

class BookmarkWithoutIdentifier : public testing::TestWithParam<moved_case> {};

TEST_P(BookmarkWithoutIdentifier, RecordResolved_DirectoryAtItsCurrentPath)
{
    const moved_case& c = GetParam();
    temp_root root;
    make_dir(root.at("a"));
    make_dir(root.at("a/d"));
    unique_fd dir(::open(root.at("a/d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    struct stat status = lstat_of(root.at("a/d"));
    unique_buffer record;
    ASSERT_EQ(make_bookmark_record(dir.get(), status, record), 0);
    dir.reset();
    if (std::string(c.moved_from).size() > 0) {
        ASSERT_EQ(std::rename(root.at(c.moved_from).c_str(), root.at(c.moved_to).c_str()), 0);
    }

    char path[full_path_capacity];
    ASSERT_EQ(resolve_bookmark_record(std::span<const unsigned char>(record.data, record.size), nullptr, path), 0);
    EXPECT_EQ(std::string(path), root.at(c.found));
}

INSTANTIATE_TEST_SUITE_P(Moves, BookmarkWithoutIdentifier,
                         testing::Values(moved_case{"NothingMoved", "", "", "a/d"},
                                         moved_case{"ParentRenamed", "a", "b", "b/d"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The search by inode reports ENOENT, with nothing found, for a directory it
// must not or cannot reach from the identifier's directory.
struct unreachable_case {
    const char* name;
    bool behind_mount; // the directory sought lies on a tmpfs mounted in the tree
};

class PathByInodeUnreachable : public testing::TestWithParam<unreachable_case> {};

TEST_P(PathByInodeUnreachable, SearchEnds_Enoent)
{
    temp_root root;
    make_dir(root.at("top"));
    make_dir(root.at("top/a"));
    make_dir(root.at("top/a/b"));
    std::string sought = root.beside("elsewhere");
    make_dir(sought);
    std::unique_ptr<tmpfs_mount> mount;
    if (GetParam().behind_mount) {
        make_dir(root.at("top/a/mnt"));
        mount = std::make_unique<tmpfs_mount>(root.at("top/a/mnt"));
        if (!mount->mounted())
            GTEST_SKIP() << "mounting a tmpfs is refused here";
        sought = root.at("top/a/mnt/inside");
        make_dir(sought);
    }
    unique_fd top(::open(root.at("top").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(top.valid());
    filesystem_identifier identifier;
    ASSERT_EQ(filesystem_identifier_of(top.get(), identifier), 0);

    char path[full_path_capacity] = "";
    errno = 0;
    EXPECT_EQ(path_by_inode(identifier, static_cast<std::uint64_t>(lstat_of(sought).st_ino), path), -1);
    EXPECT_EQ(errno, ENOENT);
}

INSTANTIATE_TEST_SUITE_P(Places, PathByInodeUnreachable,
                         testing::Values(unreachable_case{"OutsideTheTree", false},
                                         unreachable_case{"BelowAMountPoint", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
