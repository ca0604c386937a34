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
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// Without an identifier the handle is opened against the nearest ancestor of
// the recorded path that still exists, so a directory found again after its
// parent was renamed is found at its new place, not at the recorded path.
// A record naming a path whose very first component is gone is looked up
// from "/" and, its handle leading nowhere, resolved to the recorded path.
struct moved_case {
    const char* name;
    const char* moved_from; // renamed after the record was made; empty: nothing moves
    const char* moved_to;   // empty: moved_from is removed instead
    const char* recorded;   // empty, or the absolute path written into the record in place of its own
    const char* found;      // the path expected, below the root, or absolute
};

// The record with its path replaced; the handle's length at 28 tells where
// the path's length and the path are.
void replace_recorded_path(unique_buffer& record, const std::string& path)
{
    std::size_t at = 32;
    for (int i = 0; i < 4; ++i)
        at += static_cast<std::size_t>(record.data[28 + i]) << (8 * i);
    unique_buffer replaced;
    ASSERT_TRUE(replaced.allocate(at + 4 + path.size()));
    std::memcpy(replaced.data, record.data, at);
    for (int i = 0; i < 4; ++i)
        replaced.data[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(path.size() >> (8 * i));
    std::memcpy(replaced.data + at + 4, path.data(), path.size());
    record = std::move(replaced);
}

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
    if (std::string(c.moved_to).size() > 0) {
        ASSERT_EQ(std::rename(root.at(c.moved_from).c_str(), root.at(c.moved_to).c_str()), 0);
    } else if (std::string(c.moved_from).size() > 0) {
        ASSERT_EQ(::rmdir(root.at(c.moved_from).c_str()), 0);
    }
    if (std::string(c.recorded).size() > 0)
        replace_recorded_path(record, c.recorded);

    char path[full_path_capacity];
    ASSERT_EQ(resolve_bookmark_record(std::span<const unsigned char>(record.data, record.size), nullptr, path), 0);
    EXPECT_EQ(std::string(path), c.found[0] == '/' ? std::string(c.found) : root.at(c.found));
}

INSTANTIATE_TEST_SUITE_P(Moves, BookmarkWithoutIdentifier,
                         testing::Values(moved_case{"NothingMoved", "", "", "", "a/d"},
                                         moved_case{"ParentRenamed", "a", "b", "", "b/d"},
                                         moved_case{"TopLevelAncestorGone", "a/d", "", "/anchorfs-absent-top/d",
                                                    "/anchorfs-absent-top/d"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The search by inode reports ENOENT, with nothing found, for a directory it
// must not or cannot reach from the identifier's directory.
struct unreachable_case {
    const char* name;
    bool behind_mount; // the directory sought lies on a tmpfs mounted in the tree
    int chains;        // 0, or that many chains of 200 directories below top, the sought one the last chain's deepest:
                       // more chains than the search holds, so each level is walked down from top again
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
    for (int chain = 0; chain < GetParam().chains; ++chain) {
        sought = root.at("top/c" + std::to_string(chain));
        make_dir(sought);
        for (int depth = 1; depth < 200; ++depth) {
            sought += "/d";
            make_dir(sought);
        }
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
                         testing::Values(unreachable_case{"OutsideTheTree", false, 0},
                                         unreachable_case{"BelowAMountPoint", true, 0},
                                         unreachable_case{"BeyondTheWalkBudget", false, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
