// Shared by the tests of the mutation commands: traced lines, the state of a
// name, the adversary's move that replaces a directory with a look-alike, and
// the four checked mutations (rename-excl, rename-swap, unlink-checked,
// link-excl) as scenes a test or an adversary works on.
#pragma once

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/seam_options.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>

#include <algorithm>
#include <cstdio>
#include <cstddef>
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
    const mode_t mode = mode_of(path);
    ASSERT_EQ(std::rename(path.c_str(), away.c_str()), 0) << path;
    make_dir(path, mode);
}

// What one name holds: the file with this content (every file of a scene has
// its own) and link count, or nothing when content is empty.
struct held {
    std::string name; // relative to the root
    std::string content;
    nlink_t links = 1;
};
using tree_state = std::vector<held>;

// A checked mutation: its name, its path arguments, the files it is told
// about, the one call that mutates, and what each name holds before the run,
// right after that call, and when the run is done. The target is the name
// that call fills: rename-excl's destination, rename-swap's B, unlink-checked's
// staging name, link-excl's destination.
struct mutation_command {
    std::string name;
    std::vector<std::string> names;
    std::vector<std::string> described;
    bool with_content; // described by description_args, else by identity_args
    std::string mutation;
    bool exchanges;    // the mutation swaps the first name and the target
    std::string target;
    tree_state before, mutated, done;
};

inline const mutation_command& rename_excl()
{
    static const mutation_command command{
        "rename-excl", {"src/a", "dst/b"}, {"src/a"}, false, "renameat2", false, "dst/b",
        {{"src/a", "payload"}, {"dst/b", ""}},
        {{"src/a", ""}, {"dst/b", "payload"}},
        {{"src/a", ""}, {"dst/b", "payload"}}};
    return command;
}

inline const mutation_command& rename_swap()
{
    static const mutation_command command{
        "rename-swap", {"left/x", "right/y"}, {"left/x", "right/y"}, false, "renameat2", true, "right/y",
        {{"left/x", "one"}, {"right/y", "two"}},
        {{"left/x", "two"}, {"right/y", "one"}},
        {{"left/x", "two"}, {"right/y", "one"}}};
    return command;
}

inline const mutation_command& unlink_checked()
{
    static const std::string quarantine = "stage/" + quarantine_leaf;
    static const mutation_command command{
        "unlink-checked", {"src/f", "stage/staged", quarantine}, {"src/f"}, true, "renameat2", false, "stage/staged",
        {{"src/f", "doomed content"}, {"stage/staged", ""}, {quarantine, ""}},
        {{"src/f", ""}, {"stage/staged", "doomed content"}, {quarantine, ""}},
        {{"src/f", ""}, {"stage/staged", ""}, {quarantine, ""}}};
    return command;
}

inline const mutation_command& link_excl()
{
    static const std::string quarantine = "stage/" + quarantine_leaf;
    static const mutation_command command{
        "link-excl", {"src/f", "dst/g", "stage/staged", quarantine}, {"src/f"}, true, "linkat", false, "dst/g",
        {{"src/f", "linked content"}, {"dst/g", ""}, {"stage/staged", ""}, {quarantine, ""}},
        {{"src/f", "linked content", 2}, {"dst/g", "linked content", 2}, {"stage/staged", ""}, {quarantine, ""}},
        {{"src/f", "linked content", 2}, {"dst/g", "linked content", 2}, {"stage/staged", ""}, {quarantine, ""}}};
    return command;
}

inline std::string parent_of(const std::string& name)
{
    return name.substr(0, name.rfind('/'));
}

// `state` with each change put in place of the entry of its name, or added.
inline tree_state with(tree_state state, const tree_state& changes)
{
    for (const held& change : changes) {
        auto same_name = [&](const held& entry) { return entry.name == change.name; };
        auto found = std::find_if(state.begin(), state.end(), same_name);
        if (found == state.end())
            state.push_back(change);
        else
            *found = change;
    }
    return state;
}

// `state` after the directory `dir` was renamed to `away` and an empty
// look-alike put in its place.
inline tree_state moved_below(const tree_state& state, const std::string& dir, const std::string& away)
{
    tree_state moved;
    for (const held& entry : state) {
        if (entry.name.rfind(dir + "/", 0) == 0) {
            moved.push_back({away + entry.name.substr(dir.size()), entry.content, entry.links});
            moved.push_back({entry.name, ""});
        } else {
            moved.push_back(entry);
        }
    }
    return moved;
}

// A fresh root holding the command's `before` tree (directories 0755, files
// 0644), the files described as they are now, and the inode of every content.
struct mutation_scene {
    const mutation_command& command;
    temp_root root;
    std::map<std::string, ino_t> inodes;
    std::vector<std::vector<std::string>> descriptions;

    explicit mutation_scene(const mutation_command& c) : command(c)
    {
        for (const held& entry : c.before) {
            if (!exists(root.at(parent_of(entry.name))))
                make_dir(root.at(parent_of(entry.name)));
            if (!entry.content.empty())
                write(entry.name, entry.content);
        }
        describe();
    }

    std::string at(const std::string& name) const { return root.at(name); }

    void write(const std::string& name, const std::string& content)
    {
        write_file(at(name), content);
        inodes[content] = inode_of(at(name));
    }

    void describe()
    {
        descriptions.clear();
        for (const std::string& name : command.described)
            descriptions.push_back(command.with_content ? description_args(at(name)) : identity_args(at(name)));
    }

    // The command's arguments, with other path arguments where given.
    std::vector<std::string> args(std::vector<std::string> names = {}) const
    {
        std::vector<std::string> all = names.empty() ? command.names : std::move(names);
        for (const auto& description : descriptions)
            all.insert(all.end(), description.begin(), description.end());
        return root.command(command.name, all);
    }

    // What the target held right after the mutation.
    std::string target_content() const
    {
        for (const held& entry : command.mutated)
            if (entry.name == command.target)
                return entry.content;
        return "";
    }

    void expect(const tree_state& state) const
    {
        for (const held& entry : state) {
            if (entry.content.empty())
                expect_absent(at(entry.name));
            else
                expect_file(at(entry.name), inodes.at(entry.content), entry.content, entry.links);
        }
    }
};

inline void exchange_entries(const std::string& first, const std::string& second)
{
    ASSERT_EQ(::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE), 0);
}

} // namespace anchorfs::test::mutation
