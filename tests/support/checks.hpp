// Checks shared by the tests that run the binary: the exit statuses by name,
// the exact outcome of a run, counts in its trace, and the names and numbers
// the tests hand to the commands again and again.
#pragma once

#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace anchorfs::test {

// The program's exit statuses.
inline constexpr int exit_ok = 0;
inline constexpr int exit_protocol = 2;    // the request itself is malformed
inline constexpr int exit_failure = 10;    // a failure line with its code
inline constexpr int exit_undelivered = 11; // the result line could not be written whole

// Exact line, exit status and an empty standard error; with check_fds, also
// no descriptor left open at exit.
inline void expect_outcome(const run_result& r, const std::string& line, int exit_code)
{
    EXPECT_EQ(r.out, line);
    EXPECT_EQ(r.exit_code, exit_code);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.leaked_fds, std::vector<int>{}) << "descriptors open at exit";
}

inline void expect_plain(const run_result& r)
{
    expect_outcome(r, plain_line, exit_ok);
}

inline void expect_failure(const run_result& r, std::string_view code, int error)
{
    expect_outcome(r, failure_line(code, error), exit_failure);
}

// The success line of ensure-dir: the directory's identity and mode.
inline std::string directory_line(dev_t device, ino_t inode, uid_t uid, unsigned mode)
{
    return "{\"ok\":true,\"device\":\"" + std::to_string(device) + "\",\"inode\":\"" + std::to_string(inode)
           + "\",\"uid\":\"" + std::to_string(uid) + "\",\"mode\":\"" + std::to_string(mode) + "\"}\n";
}

inline std::string directory_line_of(const std::string& path)
{
    const struct stat status = lstat_of(path);
    return directory_line(status.st_dev, status.st_ino, status.st_uid, status.st_mode);
}

// How many traced calls of `function` the run made ("openat 3 0" counts for openat).
inline std::size_t calls_of(const run_result& r, std::string_view function)
{
    return static_cast<std::size_t>(std::count_if(r.trace.begin(), r.trace.end(), [&](const std::string& line) {
        return line.size() > function.size() && line.compare(0, function.size(), function) == 0
               && line[function.size()] == ' ';
    }));
}

inline ino_t inode_of(const std::string& path)
{
    return lstat_of(path).st_ino;
}

// The permission and special bits, without the type.
inline mode_t mode_of(const std::string& path)
{
    return lstat_of(path).st_mode & 07777;
}

// Clears errno, makes the call, and checks what it returned and the errno it
// left behind (0 where a success must not touch it).
template <class Call, class Result>
void expect_call(Call call, Result expected, int error, std::string_view label = "")
{
    errno = 0;
    const auto result = call();
    const int left = errno;
    EXPECT_EQ(result, expected) << label;
    EXPECT_EQ(left, error) << label;
}

// A table's test over a fresh scratch root: `c` is the row (a suite names it:
// `class Probes_ByEntryKind : public root_table_test<probe_case> {};`).
template <class Case>
class root_table_test : public testing::TestWithParam<Case> {
protected:
    const Case& c = this->GetParam();
    temp_root root;
};

// Quarantine leaves: the prefix, and one well-formed leaf (prefix and 32 lower-case hex digits).
inline const std::string quarantine_prefix = ".vor-native-quarantine-";
inline const std::string quarantine_leaf = quarantine_prefix + "0123456789abcdef0123456789abcdef";

} // namespace anchorfs::test
