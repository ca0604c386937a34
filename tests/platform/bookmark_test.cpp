// Bookmark records and the look-up of a directory by its inode, called in
// process: the handle opened against the root, the recorded path compared
// with the root's path, and searches that must come back empty.

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

// The handle is opened against the root's descriptor, so a directory found
// again after its parent was renamed is found at its new place, not at the
// recorded path; a directory removed gives ESTALE. Nothing is opened by path.
struct moved_case {
    const char* name;
    const char* moved_from; // renamed after the record was made; empty: nothing moves
    const char* moved_to;   // empty: moved_from is removed instead
    const char* found;      // the path expected below the root; empty: the handle leads nowhere (ESTALE)
};

class BookmarkHandle : public testing::TestWithParam<moved_case> {};

TEST_P(BookmarkHandle, OpenedAgainstTheRoot_DirectoryAtItsCurrentPath)
{
    const moved_case& c = GetParam();
    temp_root root;
    make_dir(root.at("a"));
    make_dir(root.at("a/d"));
    unique_fd dir(::open(root.at("a/d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    struct stat status = lstat_of(root.at("a/d"));
    unique_buffer bytes;
    ASSERT_EQ(make_bookmark_record(dir.get(), status, bytes), 0);
    dir.reset();
    if (std::string(c.moved_to).size() > 0) {
        ASSERT_EQ(std::rename(root.at(c.moved_from).c_str(), root.at(c.moved_to).c_str()), 0);
    } else if (std::string(c.moved_from).size() > 0) {
        ASSERT_EQ(::rmdir(root.at(c.moved_from).c_str()), 0);
    }
    bookmark_record record;
    ASSERT_TRUE(decode_bookmark_record(std::span<const unsigned char>(bytes.data, bytes.size), record));
    ASSERT_TRUE(record.has_handle) << "the scratch file system gives no handles";
    unique_fd top(::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(top.valid());

    errno = 0;
    unique_fd found = open_bookmark_handle(record, top.get());
    if (std::string(c.found).empty()) {
        EXPECT_FALSE(found.valid());
        EXPECT_EQ(errno, ESTALE);
        return;
    }
    ASSERT_TRUE(found.valid()) << std::strerror(errno);
    char path[full_path_capacity];
    ASSERT_EQ(descriptor_path(found.get(), path), 0);
    EXPECT_EQ(std::string(path), root.at(c.found));
}

INSTANTIATE_TEST_SUITE_P(Moves, BookmarkHandle,
                         testing::Values(moved_case{"NothingMoved", "", "", "a/d"},
                                         moved_case{"ParentRenamed", "a", "b", "b/d"},
                                         moved_case{"DirectoryRemoved", "a/d", "", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

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

// The recorded path is compared with the root's path name by name: only what
// lies below it is walked from the root, and a path that merely shares the
// root's spelling as a prefix is not below it.
struct below_case {
    const char* name;
    const char* base;
    const char* recorded;
    const char* relative; // nullptr: not below
};

class RecordedPathBelow : public testing::TestWithParam<below_case> {};

TEST_P(RecordedPathBelow, RestBelowTheBaseOrNothing)
{
    const below_case& c = GetParam();
    temp_root root;
    make_dir(root.at("d"));
    unique_fd dir(::open(root.at("d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    unique_buffer bytes;
    ASSERT_EQ(make_bookmark_record(dir.get(), lstat_of(root.at("d")), bytes), 0);
    replace_recorded_path(bytes, c.recorded);
    bookmark_record record;
    ASSERT_TRUE(decode_bookmark_record(std::span<const unsigned char>(bytes.data, bytes.size), record));

    char relative[full_path_capacity] = "unchanged";
    EXPECT_EQ(recorded_path_below(record, c.base, relative), c.relative != nullptr);
    if (c.relative != nullptr) {
        EXPECT_EQ(std::string(relative), c.relative);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RecordedPathBelow,
    testing::Values(below_case{"TheBaseItself", "/srv/r", "/srv/r", "."},
                    below_case{"OneLevelBelow", "/srv/r", "/srv/r/d", "d"},
                    below_case{"DeepBelow", "/srv/r", "/srv/r/d/e/f", "d/e/f"},
                    below_case{"BelowTheFileSystemRoot", "/", "/srv/r/d", "srv/r/d"},
                    below_case{"TheFileSystemRootItself", "/", "/", "."},
                    below_case{"SiblingSharingThePrefix", "/srv/r", "/srv/r2/d", nullptr},
                    below_case{"Parent", "/srv/r", "/srv", nullptr},
                    below_case{"Elsewhere", "/srv/r", "/tmp/d", nullptr},
                    below_case{"TrailingSlash", "/srv/r", "/srv/r/", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// The search by inode reports ENOENT, with nothing found, for a directory it
// must not or cannot reach from the identifier's directory.
struct unreachable_case {
    const char* name;
    bool behind_mount; // the directory sought lies on a tmpfs mounted in the tree
    int chains;        // 0, or that many chains of 200 directories below top, the sought one the last chain's deepest:
                       // more chains than the search holds, so each level is walked down from top again
};

class DirectoryByInodeUnreachable : public testing::TestWithParam<unreachable_case> {};

TEST_P(DirectoryByInodeUnreachable, SearchEnds_Enoent)
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

    errno = 0;
    EXPECT_FALSE(directory_by_inode(identifier, static_cast<std::uint64_t>(lstat_of(sought).st_ino)).valid());
    EXPECT_EQ(errno, ENOENT);
}

INSTANTIATE_TEST_SUITE_P(Places, DirectoryByInodeUnreachable,
                         testing::Values(unreachable_case{"OutsideTheTree", false, 0},
                                         unreachable_case{"BelowAMountPoint", true, 0},
                                         unreachable_case{"BeyondTheWalkBudget", false, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
