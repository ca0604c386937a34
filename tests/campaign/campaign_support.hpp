// Shared by the crash, fault and soak campaigns: traced calls, whole-tree
// snapshots, a scratch root with look-alike lures and canaries beside it,
// checks of result lines, and the counts the campaigns report.
#pragma once

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/scratch_scene.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace anchorfs::test::campaign {

// ---------------------------------------------------------------- traces

// One intercepted call: "renameat2 0 0" is the first renameat2 of the run
// (ordinal 1), which returned 0 and left no error.
struct traced_call {
    std::string function;
    unsigned ordinal = 0;
    long long result = 0;
    int error = 0;
    std::string label() const { return function + ":" + std::to_string(ordinal); }
};

inline std::vector<traced_call> calls_of(const run_result& r)
{
    std::vector<traced_call> calls;
    std::map<std::string, unsigned> seen;
    for (const std::string& line : r.trace) {
        std::istringstream fields(line);
        traced_call call;
        fields >> call.function >> call.result >> call.error;
        call.ordinal = ++seen[call.function];
        calls.push_back(call);
    }
    return calls;
}

// The calls that change the tree: directory creation, renames, links,
// unlinks, mode changes and flushes, and the exclusive creates. The trace does
// not show open flags; an exclusive create is the openat that the creating
// commands follow at once with the fchmod that makes the mode exact.
inline bool mutating(const std::vector<traced_call>& calls, std::size_t index)
{
    static const std::set<std::string> always = {"mkdirat", "renameat2", "renameat", "linkat",
                                                 "unlinkat", "fchmod",    "fsync"};
    const traced_call& call = calls[index];
    if (always.count(call.function) != 0)
        return call.error == 0;
    return call.function == "openat" && call.error == 0 && index + 1 < calls.size()
           && calls[index + 1].function == "fchmod";
}

// ---------------------------------------------------------------- trees

// What identifies an entry. Directories are compared by inode, mode and
// owner only (their size and link count follow their entries).
struct entry {
    char type = '?'; // 'f' regular, 'd' directory, 'l' symbolic link, 'o' other
    ino_t inode = 0;
    nlink_t links = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    std::string content; // regular files: the bytes; symbolic links: the target
    bool operator==(const entry&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const entry& e)
{
    out << e.type << " ino=" << e.inode << " mode=" << std::oct << e.mode << std::dec << " uid=" << e.uid;
    if (e.type == 'f')
        out << " links=" << e.links << " size=" << e.content.size() << " sha=" << sha256_hex(e.content).substr(0, 12);
    if (e.type == 'l')
        out << " -> " << e.content;
    return out;
}

using tree = std::map<std::string, entry>;

inline void PrintTo(const tree& t, std::ostream* out)
{
    *out << "{";
    for (const auto& [path, e] : t)
        *out << "\n  " << path << ": " << e;
    *out << "\n}";
}

inline entry entry_of(const std::string& path)
{
    struct stat status = lstat_of(path);
    entry e;
    e.inode = status.st_ino;
    e.mode = status.st_mode & 07777;
    e.uid = status.st_uid;
    if (S_ISREG(status.st_mode)) {
        e.type = 'f';
        e.links = status.st_nlink;
        e.content = read_file(path);
    } else if (S_ISDIR(status.st_mode)) {
        e.type = 'd';
    } else if (S_ISLNK(status.st_mode)) {
        e.type = 'l';
        char target[4096];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n >= 0)
            e.content.assign(target, static_cast<std::size_t>(n));
    } else {
        e.type = 'o';
    }
    return e;
}

namespace detail {
inline void collect(const std::string& top, const std::string& relative, tree& into, const std::string& skip = {})
{
    const std::string here = relative.empty() ? top : top + "/" + relative;
    DIR* listing = ::opendir(here.c_str());
    if (listing == nullptr)
        throw std::runtime_error("opendir " + here + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (struct dirent* d = ::readdir(listing))
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
    ::closedir(listing);
    for (const std::string& name : names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        if (child == skip)
            continue;
        entry e = entry_of(top + "/" + child);
        into[child] = e;
        if (e.type == 'd')
            collect(top, child, into, skip);
    }
}
} // namespace detail

// Every entry below top by relative path, except `skip` and what is below
// it; symbolic links are never followed.
inline tree snapshot(const std::string& top, const std::string& skip = {})
{
    tree t;
    detail::collect(top, "", t, skip);
    return t;
}

inline bool below(const std::string& path, const std::string& top)
{
    return path == top || path.rfind(top + "/", 0) == 0;
}

// The tree without the given paths and everything below them.
inline tree without(tree t, const std::vector<std::string>& paths)
{
    for (auto it = t.begin(); it != t.end();) {
        bool drop = false;
        for (const std::string& p : paths)
            drop = drop || below(it->first, p);
        it = drop ? t.erase(it) : std::next(it);
    }
    return t;
}

// The subtree at `from` renamed to `to`.
inline tree moved(tree t, const std::string& from, const std::string& to)
{
    tree result;
    for (auto& [path, e] : t)
        result[below(path, from) ? to + path.substr(from.size()) : path] = e;
    return result;
}

// ---------------------------------------------------------------- content

// Deterministic content of a given size, distinct per seed.
inline std::string payload(std::size_t size, const std::string& seed)
{
    std::string text;
    for (unsigned line = 0; text.size() < size; ++line)
        text += seed + " line " + std::to_string(line) + "\n";
    text.resize(size);
    return text;
}

// ---------------------------------------------------------------- result lines

inline const std::map<std::string, int> errno_codes = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"E2BIG", E2BIG},   {"EACCES", EACCES},
    {"EEXIST", EEXIST}, {"EXDEV", EXDEV},   {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},
    {"EINVAL", EINVAL}, {"ELOOP", ELOOP},   {"ENOTEMPTY", ENOTEMPTY},
};

// The failure line's code and errno agree: an errno name carries its own
// number, IDENTITY_CHANGED carries ESTALE, FILESYSTEM_ERROR a number that has
// no name of its own; a race code carries the error the command left (as a
// rule ESTALE, but a staged creation whose cleanup failed keeps the error
// that made it clean up).
inline bool consistent_code(const std::string& code, int error)
{
    if (auto it = errno_codes.find(code); it != errno_codes.end())
        return it->second == error;
    if (code == "IDENTITY_CHANGED")
        return error == ESTALE;
    if (code == "RACE_ROLLED_BACK" || code == "RACE_PRESERVED")
        return error > 0;
    if (code == "FILESYSTEM_ERROR") {
        for (const auto& [name, number] : errno_codes)
            if (number == error)
                return false;
        return error > 0 && error != ESTALE;
    }
    return false;
}

inline const std::regex failure_pattern(R"re(\{"ok":false,"code":"([A-Z0-9_]+)","errno":([0-9]+)\}\n)re");
inline const std::regex size_line_pattern(R"re(^\{"ok":true,"size":"([0-9]+)"\}\n)re");

// A run that failed properly: exit status 10, nothing on standard error, no
// signal, and exactly one failure line with a known, consistent code. With
// `after_size_line`, the failure line may follow a size line and part of the
// bytes it announced (a read whose output failed half way). The code is
// handed back through `code`.
inline testing::AssertionResult well_formed_failure(const run_result& r, std::string* code = nullptr,
                                                    bool after_size_line = false)
{
    auto fail = [&](const std::string& why) {
        return testing::AssertionFailure() << why << ": out=\"" << r.out.substr(0, 200) << "\" exit=" << r.exit_code
                                           << " signal=" << r.signal << " err=\"" << r.err << "\"";
    };
    if (r.signal != 0 || r.exit_code != 10)
        return fail("not a failure exit");
    if (!r.err.empty())
        return fail("standard error not empty");
    std::string line = r.out;
    std::smatch size;
    if (after_size_line && std::regex_search(line, size, size_line_pattern)) {
        const std::size_t announced = std::stoull(size[1].str());
        const std::size_t rest_start = static_cast<std::size_t>(size[0].length());
        const std::size_t failure_start = line.rfind("{\"ok\":false");
        if (failure_start == std::string::npos || failure_start < rest_start
            || failure_start - rest_start > announced)
            return fail("no failure line after the size line");
        line = line.substr(failure_start);
    }
    std::smatch match;
    if (!std::regex_match(line, match, failure_pattern))
        return fail("not one failure line");
    const std::string found = match[1].str();
    const int error = std::stoi(match[2].str());
    if (!consistent_code(found, error))
        return fail("unknown code or code and errno disagree");
    if (code != nullptr)
        *code = found;
    return testing::AssertionSuccess();
}

// A run that could not write its line (or content) whole: exit 11, no signal,
// nothing on standard error.
inline testing::AssertionResult undelivered_output(const run_result& r)
{
    if (r.exit_code == 11 && r.signal == 0 && r.err.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not an undelivered run: out=\"" << r.out.substr(0, 200) << "\" exit="
                                       << r.exit_code << " signal=" << r.signal << " err=\"" << r.err << "\"";
}

inline testing::AssertionResult exact_output(const run_result& r, const std::string& out, int exit_code)
{
    if (r.out == out && r.exit_code == exit_code && r.signal == 0 && r.err.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected \"" << out.substr(0, 200) << "\" exit " << exit_code
                                       << ", got \"" << r.out.substr(0, 200) << "\" exit " << r.exit_code
                                       << " signal " << r.signal << " err \"" << r.err << "\"";
}

// ---------------------------------------------------------------- scene

// A scratch root and, beside it, what must never change: a canary file and a
// look-alike of the tree ("outside/d/f" and so on) whose files have the names
// and content of the ones inside, so that a run that strays out of the root
// finds a plausible target.
struct scene : scratch_scene {
    std::string outside = root.beside("outside");
    tree outside_before;

    explicit scene(std::optional<uid_t> run_as = std::nullopt) : scratch_scene(run_as)
    {
        make_dir(outside);
        for (const char* dir : {"d", "e", "s", "p"}) {
            make_dir(outside + "/" + dir);
            for (const char* leaf : {"f", "a", "new", "stage"})
                write_file(outside + "/" + dir + "/" + leaf, std::string("lure ") + dir + "/" + leaf + "\n");
        }
        write_file(root.beside("canary"), "canary\n", 0600);
        outside_before = outside_now();
    }

    void swap(const std::string& a, const std::string& b) const
    {
        if (::renameat2(AT_FDCWD, at(a).c_str(), AT_FDCWD, at(b).c_str(), RENAME_EXCHANGE) != 0)
            throw std::runtime_error("exchange " + a + " " + b);
    }

    tree now() const { return snapshot(root.path); }
    // Everything in the container except what lies below the root.
    tree outside_now() const
    {
        tree t = snapshot(root.container, "root");
        t["root"] = entry_of(root.path);
        return t;
    }
    testing::AssertionResult outside_untouched() const
    {
        tree t = outside_now();
        if (t == outside_before)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "outside the root changed: " << testing::PrintToString(t);
    }
};

// A regular file at `relative` with the inode and content of `file` and the
// given link count.
inline bool holds(const scene& s, const std::string& relative, const entry& file, nlink_t links)
{
    struct stat status;
    if (::lstat(s.at(relative).c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    return status.st_ino == file.inode && status.st_nlink == links && (status.st_mode & 07777) == file.mode
           && read_file(s.at(relative)) == file.content;
}

inline bool absent(const scene& s, const std::string& relative)
{
    return !exists(s.at(relative));
}

// ---------------------------------------------------------------- counts

// Counts go to the test's properties (visible with --gtest_output) and, when
// ANCHORFS_CAMPAIGN_COUNTS names a file, one line each to that file, which
// scripts/reliability-report.sh turns into docs/reliability.md.
inline void record_count(const std::string& campaign, const std::string& command, const std::string& what,
                         long long value)
{
    testing::Test::RecordProperty(command + "." + what, std::to_string(value));
    const char* file = std::getenv("ANCHORFS_CAMPAIGN_COUNTS");
    if (file == nullptr || *file == '\0')
        return;
    const std::string line = campaign + "\t" + command + "\t" + what + "\t" + std::to_string(value) + "\n";
    int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

} // namespace anchorfs::test::campaign
