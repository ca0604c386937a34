// Shared by the tests of bookmarks and the recover commands: a scratch root
// that runs the binary privileged or as an unprivileged owner, bookmark groups
// taken through "bookmark-parent", outcome checks and a snapshot of the tree.
#pragma once

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/scratch_scene.hpp"
#include "support/seam_options.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace anchorfs::test::recovery {

// Who runs the binary: root (a directory handle can be opened) or the
// unprivileged owner of the root (it cannot; the recorded path and the search
// by inode have to find a directory).
enum class runner { privileged, unprivileged };

inline void PrintTo(runner who, std::ostream* out)
{
    *out << (who == runner::privileged ? "privileged" : "unprivileged");
}

inline std::string runner_name(const testing::TestParamInfo<runner>& info)
{
    return info.param == runner::privileged ? "Privileged" : "Unprivileged";
}

inline const auto both_runners = testing::Values(runner::privileged, runner::unprivileged);

inline testing::AssertionResult outcome_is(const run_result& r, const std::string& line, int exit_code)
{
    if (r.out == line && r.exit_code == exit_code && r.signal == 0 && r.err.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected " << line << " (exit " << exit_code << "), got out=\"" << r.out
                                       << "\" exit=" << r.exit_code << " signal=" << r.signal << " err=\"" << r.err
                                       << "\"";
}

inline testing::AssertionResult succeeded(const run_result& r)
{
    return outcome_is(r, plain_line, exit_ok);
}

inline testing::AssertionResult failed_with(const run_result& r, const char* code, int error)
{
    return outcome_is(r, failure_line(code, error), exit_failure);
}

inline testing::AssertionResult identity_changed(const run_result& r)
{
    return failed_with(r, "IDENTITY_CHANGED", ESTALE);
}

using tree_snapshot = std::map<std::string, std::string>;

struct scene : scratch_scene {
    runner as;

    explicit scene(runner who)
        : scratch_scene(who == runner::unprivileged ? std::optional<uid_t>(unprivileged_uid()) : std::nullopt),
          as(who)
    {
    }

    void swap(const std::string& a, const std::string& b) const
    {
        move(a, a + ".swapping");
        move(b, a);
        move(a + ".swapping", b);
    }
    void remove(const std::string& relative) const
    {
        if (::unlink(at(relative).c_str()) != 0)
            throw std::runtime_error("unlink " + relative);
    }
    // New content in the same inode; with keep_time the modification time is
    // put back, so that only the digest tells the difference.
    void rewrite(const std::string& relative, std::string_view content, bool keep_time) const
    {
        const struct stat before = lstat_of(at(relative));
        write_file(at(relative), content, before.st_mode & 07777);
        if (keep_time) {
            const struct timespec times[2] = {before.st_atim, before.st_mtim};
            if (::utimensat(AT_FDCWD, at(relative).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
                throw std::runtime_error("utimensat " + relative);
        }
    }
    // A separate file with the same content, mode and modification time.
    void copy(const std::string& from, const std::string& to) const
    {
        const struct stat original = lstat_of(at(from));
        file(to, read_file(at(from)), original.st_mode & 07777);
        const struct timespec times[2] = {original.st_atim, original.st_mtim};
        if (::utimensat(AT_FDCWD, at(to).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            throw std::runtime_error("utimensat " + to);
    }
    void touch_later(const std::string& relative) const
    {
        struct stat status = lstat_of(at(relative));
        status.st_mtim.tv_sec += 1;
        const struct timespec times[2] = {status.st_atim, status.st_mtim};
        if (::utimensat(AT_FDCWD, at(relative).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            throw std::runtime_error("utimensat " + relative);
    }

    std::vector<std::string> describe(const std::string& relative) const { return description_args(at(relative)); }

    // Every entry below the root with what identifies it: directories by inode
    // and mode, files by inode, link count, mode, owner, size, modification
    // time and content digest, symbolic links by target.
    tree_snapshot tree() const
    {
        tree_snapshot snapshot;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path)) {
            const std::string path = entry.path().string();
            struct stat status = lstat_of(path);
            std::ostringstream text;
            if (S_ISDIR(status.st_mode)) {
                text << "dir ino=" << status.st_ino << " mode=" << std::oct << status.st_mode;
            } else if (S_ISREG(status.st_mode)) {
                text << "file ino=" << status.st_ino << " links=" << status.st_nlink << " uid=" << status.st_uid
                     << " size=" << status.st_size << " mtime=" << status.st_mtim.tv_sec << "."
                     << status.st_mtim.tv_nsec << " sha=" << sha256_hex(read_file(path)) << " mode=" << std::oct
                     << status.st_mode;
            } else {
                text << "other mode=" << std::oct << status.st_mode;
            }
            snapshot[path.substr(root.path.size() + 1)] = text.str();
        }
        return snapshot;
    }
};

// The trees the recover commands start from, as they were before the
// operation: the file d/f ("content\n"), renamed to e/g, unlinked through
// s/staged and the quarantine name in s, or linked to d/g with those two for
// taking the link away. Each returns the recover command's slots from 6 on.
inline std::vector<std::string> before_rename(const scene& s)
{
    s.dir("d");
    s.dir("e");
    s.file("d/f", "content\n");
    return join({s.group("d", "f"), s.group("e", "g"), s.describe("d/f")});
}

inline std::vector<std::string> before_unlink(const scene& s)
{
    s.dir("d");
    s.dir("s");
    s.file("d/f", "content\n");
    return join({s.group("d", "f"), s.group("s", "staged"), s.group("s", quarantine_leaf), s.describe("d/f")});
}

inline std::vector<std::string> before_link(const scene& s)
{
    s.dir("d");
    s.dir("s");
    s.file("d/f", "content\n");
    return join({s.group("d", "f"), s.group("d", "g"), s.group("s", "staged"), s.group("s", quarantine_leaf),
                 s.describe("d/f")});
}

// A state the names of a recover command are put in, and what the command
// does from there: nothing, settle the tree, or refuse without a change.
enum class expected { unchanged, settled, refused };

struct recover_state {
    const char* name;
    void (*arrange)(const scene& s);
    expected outcome;
};

inline void PrintTo(const recover_state& c, std::ostream* out) { *out << c.name; }

inline std::string state_name(const testing::TestParamInfo<std::tuple<runner, recover_state>>& info)
{
    return std::string(std::get<1>(info.param).name)
           + (std::get<0>(info.param) == runner::privileged ? "_Privileged" : "_Unprivileged");
}

// Runs `command` from the state `c` arranges: a refusal leaves that state; a
// success leaves it (unchanged) or `settled`, and a second run succeeds and
// changes nothing.
inline void expect_recovered_from(const scene& s, const recover_state& c, const std::string& command,
                                  const std::vector<std::string>& args, const tree_snapshot& settled)
{
    c.arrange(s);
    const tree_snapshot arranged = s.tree();
    run_result r = s.run(command, args);
    if (c.outcome == expected::refused) {
        EXPECT_TRUE(identity_changed(r));
        EXPECT_EQ(s.tree(), arranged);
        return;
    }
    EXPECT_TRUE(succeeded(r));
    const tree_snapshot after = c.outcome == expected::settled ? settled : arranged;
    EXPECT_EQ(s.tree(), after);
    EXPECT_TRUE(succeeded(s.run(command, args))) << "second run";
    EXPECT_EQ(s.tree(), after);
}

} // namespace anchorfs::test::recovery
