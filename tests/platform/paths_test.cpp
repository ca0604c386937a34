// Descriptor paths from /proc/self/fd and directory opens that report a
// symbolic link as ELOOP.

#include "platform/descriptor_path.hpp"
#include "platform/directory_open.hpp"
#include "platform/owners.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// A file of the scratch root, open for reading, and room for its path.
struct open_file {
    temp_root root;
    unique_fd fd;
    char path[full_path_capacity] = {};

    explicit open_file(const std::string& name)
    {
        write_file(root.at(name), "x");
        fd = unique_fd(::open(root.at(name).c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_TRUE(fd.valid());
    }
};

TEST(DescriptorPath, OpenFile_ItsCurrentPathFollowingARename)
{
    open_file file("f");
    auto& [root, fd, path] = file;

    ASSERT_EQ(descriptor_path(fd.get(), path), 0);
    EXPECT_EQ(std::string(path), root.at("f"));
    ASSERT_EQ(::rename(root.at("f").c_str(), root.at("g").c_str()), 0);
    ASSERT_EQ(descriptor_path(fd.get(), path), 0);
    EXPECT_EQ(std::string(path), root.at("g"));
}

TEST(DescriptorPath, RemovedFile_Enoent)
{
    open_file file("f");
    auto& [root, fd, path] = file;
    ASSERT_EQ(::unlink(root.at("f").c_str()), 0);

    errno = 0;
    EXPECT_EQ(descriptor_path(fd.get(), path), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A file whose own name ends in " (deleted)" is the one case the suffix test
// cannot tell apart; it is refused too rather than taken for a live path.
TEST(DescriptorPath, NameEndingLikeTheDeletedMark_RefusedNotMisread)
{
    open_file file("f (deleted)");
    auto& [root, fd, path] = file;

    errno = 0;
    EXPECT_EQ(descriptor_path(fd.get(), path), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(DescriptorPath, PipeOrClosedDescriptor_Fails)
{
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    char path[full_path_capacity];

    errno = 0;
    EXPECT_EQ(descriptor_path(read_end.get(), path), -1);
    EXPECT_EQ(errno, ENOENT);
    const int closed = read_end.release();
    ::close(closed);
    errno = 0;
    EXPECT_EQ(descriptor_path(closed, path), -1);
    EXPECT_EQ(errno, ENOENT);
}

// No descriptor at all: its entry in the table is not there.
TEST(DescriptorPath, NegativeDescriptor_Enoent)
{
    char path[full_path_capacity];
    errno = 0;
    EXPECT_EQ(descriptor_path(-1, path), -1);
    EXPECT_EQ(errno, ENOENT);
}

// In a pid namespace of its own a process is pid 1 while /proc, mounted for
// the namespace outside, names it by another number: /proc/1 there is another
// process's, so its descriptor table is not trusted.
TEST(DescriptorPath, ProcOfAnotherPidNamespace_Eopnotsupp)
{
    open_file file("f");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child is the namespace's maker; its own child is pid 1 in it.
        if (::unshare(CLONE_NEWPID) != 0)
            ::_exit(77);
        const pid_t inner = ::fork();
        if (inner == 0) {
            { proc_view_holder forget_the_proven_table; }
            errno = 0;
            const int result = descriptor_path(file.fd.get(), file.path);
            ::_exit(::getpid() == 1 && result == -1 && errno == EOPNOTSUPP ? 0 : 1);
        }
        int status = 0;
        ::_exit(inner > 0 && ::waitpid(inner, &status, 0) == inner && WIFEXITED(status) ? WEXITSTATUS(status) : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "a pid namespace is refused here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

struct open_case {
    const char* name;
    int error; // 0: opens
};

class OpenDirectoryAt : public testing::TestWithParam<open_case> {};

TEST_P(OpenDirectoryAt, ReportsWhatIsAtTheName)
{
    temp_root root;
    make_dir(root.at("dir"));
    write_file(root.at("file"), "x");
    ASSERT_EQ(::symlink("dir", root.at("link_to_dir").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", root.at("dangling").c_str()), 0);
    unique_fd held(::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(held.valid());

    errno = 0;
    unique_fd opened = open_directory_at(held.get(), GetParam().name);
    EXPECT_EQ(opened.valid(), GetParam().error == 0);
    EXPECT_EQ(errno, GetParam().error);
    if (opened.valid()) {
        EXPECT_EQ(::fcntl(opened.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        unique_fd by_path = open_directory_path((root.path + "/" + GetParam().name).c_str());
        EXPECT_TRUE(by_path.valid());
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, OpenDirectoryAt,
                         testing::Values(open_case{"dir", 0}, open_case{"link_to_dir", ELOOP},
                                         open_case{"dangling", ELOOP}, open_case{"file", ENOTDIR},
                                         open_case{"missing", ENOENT}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpenDirectoryPath, SymbolicLinkAsLastComponent_Eloop)
{
    temp_root root;
    make_dir(root.at("dir"));
    ASSERT_EQ(::symlink("dir", root.at("link").c_str()), 0);
    errno = 0;
    unique_fd opened = open_directory_path(root.at("link").c_str());
    EXPECT_FALSE(opened.valid());
    EXPECT_EQ(errno, ELOOP);
}

} // namespace
