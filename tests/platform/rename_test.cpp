// The two atomic renames: an exclusive rename never replaces, a swap needs
// both entries.

#include "platform/rename.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

TEST(RenameExclusive, FreeDestination_Moves)
{
    temp_root root;
    write_file(root.at("a"), "A");
    const ino_t inode = lstat_of(root.at("a")).st_ino;

    ASSERT_EQ(rename_exclusive(AT_FDCWD, root.at("a").c_str(), AT_FDCWD, root.at("b").c_str()), 0);
    EXPECT_FALSE(exists(root.at("a")));
    EXPECT_EQ(lstat_of(root.at("b")).st_ino, inode);
}

// Whatever is at the destination, even an empty directory or a dangling link,
// is never replaced.
TEST(RenameExclusive, ExistingDestination_EexistBothUnchanged)
{
    temp_root root;
    write_file(root.at("a"), "A");
    write_file(root.at("file"), "B");
    make_dir(root.at("dir"));
    ASSERT_EQ(::symlink("nowhere", root.at("link").c_str()), 0);

    for (const char* destination : {"file", "dir", "link"}) {
        errno = 0;
        EXPECT_EQ(rename_exclusive(AT_FDCWD, root.at("a").c_str(), AT_FDCWD, root.at(destination).c_str()), -1)
            << destination;
        EXPECT_EQ(errno, EEXIST) << destination;
    }
    EXPECT_EQ(read_file(root.at("a")), "A");
    EXPECT_EQ(read_file(root.at("file")), "B");
    EXPECT_TRUE(S_ISDIR(lstat_of(root.at("dir")).st_mode));
    EXPECT_TRUE(S_ISLNK(lstat_of(root.at("link")).st_mode));
}

TEST(RenameSwap, BothPresent_Exchanged)
{
    temp_root root;
    write_file(root.at("a"), "A");
    make_dir(root.at("b"));

    ASSERT_EQ(rename_swap(AT_FDCWD, root.at("a").c_str(), AT_FDCWD, root.at("b").c_str()), 0);
    EXPECT_TRUE(S_ISDIR(lstat_of(root.at("a")).st_mode));
    EXPECT_EQ(read_file(root.at("b")), "A");
}

TEST(RenameSwap, EitherMissing_EnoentNothingMoves)
{
    temp_root root;
    write_file(root.at("a"), "A");

    errno = 0;
    EXPECT_EQ(rename_swap(AT_FDCWD, root.at("a").c_str(), AT_FDCWD, root.at("missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(rename_swap(AT_FDCWD, root.at("missing").c_str(), AT_FDCWD, root.at("a").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(read_file(root.at("a")), "A");
    EXPECT_FALSE(exists(root.at("missing")));
}

} // namespace
