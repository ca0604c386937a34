// The bookmark text a command is given is untrusted: no text at all is
// refused like malformed text, with nothing opened.

#include "anchor/bookmarks.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(OpenBookmarkedDirectory, NoText_EinvalNothingOpened)
{
    errno = 0;
    anchorfs::unique_fd fd = anchorfs::open_bookmarked_directory(nullptr, 0, 0, 0, nullptr, nullptr);
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
