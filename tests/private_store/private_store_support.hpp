// Helpers shared by the private-store tests: runs that must close what they open, listings of
// a tree that show what a run deleted or changed, and look-ups in a trace.
#pragma once

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/seam_options.hpp"
#include "support/tree_lines.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace anchorfs::test::private_store {

inline std::string size_line(unsigned long long size)
{
    return "{\"ok\":true,\"size\":\"" + std::to_string(size) + "\"}\n";
}

// A root holding the directory "d" at 0755 (owned by `owner` where given),
// where every private-store scene works.
struct private_dir_scene {
    temp_root root;
    std::string dir = root.at("d");

    explicit private_dir_scene(std::optional<uid_t> owner = std::nullopt) : root(owner)
    {
        make_dir(dir, 0755);
        if (owner) {
            EXPECT_EQ(::chown(dir.c_str(), *owner, unprivileged_gid()), 0);
        }
    }
};

// A run of the binary that must also close every descriptor it opened, on
// whatever path it ends.
inline run_result run_closing_all(const std::vector<std::string>& args, run_options options = {})
{
    options.check_fds = true;
    run_result result = run_anchorfs(args, options);
    if (result.signal == 0) {
        EXPECT_EQ(result.leaked_fds, std::vector<int>{}) << "descriptors left open by " << args.front();
    }
    return result;
}

inline void append_to(const std::string& path, std::string_view bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("append to " + path + " failed");
}

// Five entries below the top: a, a/f1, a/b, a/b/f2, g.
inline void make_five_entry_tree(const std::string& top)
{
    make_tree(top, {"a/", "a/f1=1", "a/b/", "a/b/f2=2", "g=g"});
}

// Every entry below `top` (the top itself as "."), with what identifies it
// apart from its mode: type, inode, link count, owner, and the content of a
// regular file or the target of a symbolic link. Mount points are listed but
// not entered. Two equal listings mean nothing was deleted, replaced or rewritten.
inline void list_into(const std::string& top, const std::string& relative, dev_t device,
                      std::map<std::string, std::string>& entries, std::map<std::string, mode_t>* modes)
{
    const std::string path = relative == "." ? top : top + "/" + relative;
    struct stat status = lstat_of(path);
    std::string text = std::to_string(status.st_mode & S_IFMT) + " " + std::to_string(status.st_ino) + " "
                       + std::to_string(status.st_nlink) + " " + std::to_string(status.st_uid);
    if (S_ISREG(status.st_mode)) {
        text += " " + read_file(path);
    } else if (S_ISLNK(status.st_mode)) {
        char target[4096];
        ssize_t length = ::readlink(path.c_str(), target, sizeof target);
        text += " -> " + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    entries[relative] = text;
    if (modes != nullptr)
        (*modes)[relative] = status.st_mode & 07777;
    if (!S_ISDIR(status.st_mode) || status.st_dev != device)
        return;
    DIR* listing = ::opendir(path.c_str());
    if (listing == nullptr)
        throw std::runtime_error("opendir " + path + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const auto& name : names)
        list_into(top, relative == "." ? name : relative + "/" + name, device, entries, modes);
}

inline std::map<std::string, std::string> tree_listing(const std::string& top)
{
    std::map<std::string, std::string> entries;
    list_into(top, ".", lstat_of(top).st_dev, entries, nullptr);
    return entries;
}

inline std::map<std::string, mode_t> tree_modes(const std::string& top)
{
    std::map<std::string, std::string> entries;
    std::map<std::string, mode_t> modes;
    list_into(top, ".", lstat_of(top).st_dev, entries, &modes);
    return modes;
}

// Names in a directory in the order the file system lists them.
inline std::vector<std::string> listing_order(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr)
        throw std::runtime_error("opendir " + dir + ": " + std::strerror(errno));
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    return names;
}

// The function name of a trace line ("openat 3 0" -> "openat").
inline std::string call_name(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

// How many calls of `function` the trace holds in [0, end).
inline std::size_t count_calls(const std::vector<std::string>& trace, std::string_view function,
                               std::size_t end = std::string::npos)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < trace.size() && i < end; ++i)
        if (call_name(trace[i]) == function)
            ++count;
    return count;
}

// Position of the n-th (from 1) call of `function` at or after `from`; npos when there is none.
inline std::size_t position_of(const std::vector<std::string>& trace, std::string_view function,
                               std::size_t n = 1, std::size_t from = 0)
{
    for (std::size_t i = from; i < trace.size(); ++i)
        if (call_name(trace[i]) == function && --n == 0)
            return i;
    return std::string::npos;
}

} // namespace anchorfs::test::private_store
