// Filling requests in: file descriptions, root anchors, quarantine leaves and
// bookmarked-parent groups.

#include "support/harness.hpp"

#include <anchorfs/client.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace client = anchorfs::client;
using namespace anchorfs::test;

namespace {

std::vector<std::string> slots(const client::FileDescription& d)
{
    const client::FileIdentity& i = d.identity;
    return {std::to_string(i.device), std::to_string(i.inode), std::to_string(i.link_count), std::to_string(i.uid),
            std::to_string(i.mode),   std::to_string(d.size),  std::to_string(d.mtime_ns),   d.sha256};
}

TEST(DescribeFile, RegularFile_EightSlotsAsTheHelperCompares_OffsetUntouched)
{
    temp_root root;
    write_file(root.at("f"), std::string(70000, 'q') + "tail", 0640);
    int fd = ::open(root.at("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 3, SEEK_SET), 3);
    client::DescribeFileResult described = client::describe_file(fd);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 3);
    ::close(fd);
    ASSERT_TRUE(described.ok()) << described.error;
    EXPECT_EQ(slots(described.description), description_args(root.at("f")));
}

TEST(DescribeFile, NotARegularFileOrTooLarge_Refused)
{
    temp_root root;
    make_dir(root.at("dir"));
    ASSERT_EQ(::mkfifo(root.at("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("dir", root.at("link").c_str()), 0);
    write_file(root.at("huge"), "");
    ASSERT_EQ(::truncate(root.at("huge").c_str(), client::max_content_size + 1), 0);
    struct refused {
        const char* name;
        int error;
    };
    for (refused r : {refused{"dir", EINVAL}, refused{"fifo", EINVAL}, refused{"link", ELOOP},
                      refused{"huge", EFBIG}, refused{"missing", ENOENT}})
        EXPECT_EQ(client::describe_file_at(AT_FDCWD, root.at(r.name)).error, r.error) << r.name;
}

TEST(AnchorRoot, Directory_ItsIdentity_SymlinkOrMissing_Refused)
{
    temp_root root;
    client::AnchorRootResult anchored = client::anchor_root(root.path);
    ASSERT_TRUE(anchored.ok());
    EXPECT_EQ(anchored.root.path, root.path);
    EXPECT_EQ(anchored.root.device, root.device);
    EXPECT_EQ(anchored.root.inode, root.inode);
    EXPECT_EQ(anchored.root.uid, root.uid);
    ASSERT_EQ(::symlink(root.path.c_str(), root.beside("link").c_str()), 0);
    EXPECT_EQ(client::anchor_root(root.beside("link")).error, ELOOP);
    EXPECT_EQ(client::anchor_root(root.beside("missing")).error, ENOENT);
}

TEST(NewQuarantineLeaf, DurableForm_FreshEachTime)
{
    client::QuarantineLeafResult first = client::new_quarantine_leaf();
    client::QuarantineLeafResult second = client::new_quarantine_leaf();
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_TRUE(std::regex_match(first.leaf, std::regex(R"(\.vor-native-quarantine-[0-9a-f]{32})"))) << first.leaf;
    EXPECT_NE(first.leaf, second.leaf);
}

TEST(BookmarkedParentGroup, PathSplitIntoDirectoryAndLeaf)
{
    const client::Bookmark bookmark{"abcd", 1, 2, 3};
    client::BookmarkedParent nested = client::bookmarked_parent(bookmark, "a/b/c");
    EXPECT_EQ(nested.directory, "a/b");
    EXPECT_EQ(nested.leaf, "c");
    EXPECT_EQ(nested.bookmark, "abcd");
    EXPECT_EQ(nested.inode, 2u);
    client::BookmarkedParent top = client::bookmarked_parent(bookmark, "c");
    EXPECT_EQ(top.directory, ".");
    EXPECT_EQ(top.leaf, "c");
}

} // namespace
