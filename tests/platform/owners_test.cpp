// The owners in process: a request no heap can meet is refused with ENOMEM
// and leaves the buffer empty, and an owner moved onto itself keeps what it owns.

#include "platform/owners.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <utility>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

struct allocation_case {
    const char* name;
    std::size_t capacity;
};

class UniqueBufferAllocate : public testing::TestWithParam<allocation_case> {};

TEST_P(UniqueBufferAllocate, TooLarge_EnomemAndEmpty)
{
    // The sanitizer's allocator reports such a request instead of failing it.
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer runtime stops at an impossible allocation";
    unique_buffer buffer;
    ASSERT_TRUE(buffer.allocate(16));
    errno = 0;
    EXPECT_FALSE(buffer.allocate(GetParam().capacity));
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, UniqueBufferAllocate,
                         testing::Values(allocation_case{"RoundingWouldOverflow", SIZE_MAX},
                                         allocation_case{"LargerThanAnyHeap", SIZE_MAX / 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Owners, MovedOntoItself_KeepsWhatItOwns)
{
    unique_fd fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    const int number = fd.get();
    unique_fd& same_fd = fd;
    fd = std::move(same_fd);
    EXPECT_EQ(fd.get(), number);
    EXPECT_EQ(::fcntl(number, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "the descriptor was closed";

    unique_buffer buffer;
    ASSERT_TRUE(buffer.allocate(8));
    unsigned char* data = buffer.data;
    unique_buffer& same_buffer = buffer;
    buffer = std::move(same_buffer);
    EXPECT_EQ(buffer.data, data);
    EXPECT_EQ(buffer.size, 8u);
}

} // namespace
