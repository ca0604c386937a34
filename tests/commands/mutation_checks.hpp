// Small checks shared by the tests of the mutation commands: traced lines, the
// state of a name, and the adversary's move that replaces a directory with a
// look-alike.
#pragma once

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/seam_options.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace anchorfs::test::mutation {

// The traced lines of one function, in order.
inline std::vector<std::string> traced(const run_result& r, const std::string& function)
{
    std::vector<std::string> lines;
    for (const auto& line : r.trace)
        if (line.rfind(function + " ", 0) == 0)
            lines.push_back(line);
    return lines;
}

inline nlink_t links_of(const std::string& path)
{
    return lstat_of(path).st_nlink;
}

inline mode_t permissions_of(const std::string& path)
{
    return lstat_of(path).st_mode & 07777;
}

// A regular file at path with exactly this inode, content and link count.
inline void expect_file(const std::string& path, ino_t inode, const std::string& content, nlink_t links = 1)
{
    ASSERT_TRUE(exists(path)) << path;
    struct stat status = lstat_of(path);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
    EXPECT_EQ(status.st_ino, inode) << path;
    EXPECT_EQ(status.st_nlink, links) << path;
    EXPECT_EQ(read_file(path), content) << path;
}

inline void expect_absent(const std::string& path)
{
    EXPECT_FALSE(exists(path)) << path << " exists";
}

// The adversary: the directory at `path` is renamed to `away` and an empty
// directory with the same mode is put at `path`. Whatever a run holds open of
// the old directory still works, but its path now leads elsewhere.
inline void replace_directory(const std::string& path, const std::string& away)
{
    const mode_t mode = permissions_of(path);
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0) << path;
    make_dir(path, mode);
}

} // namespace anchorfs::test::mutation
