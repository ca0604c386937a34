// A scratch root for the tests that run the binary on a tree they build:
// entries made below it belong to the root's owner (an unprivileged user when
// the runs are made as that user), and bookmark groups are taken through
// "bookmark-parent".
#pragma once

#include "support/harness.hpp"

#include <fcntl.h>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace anchorfs::test {

// The four values of a bookmark line.
struct bookmark_line {
    std::string hex;
    std::string device;
    std::string inode;
    std::string uid;
};

// The bookmark line's exact shape: lowercase hexadecimal of even length.
inline const std::regex bookmark_line_pattern(
    R"re(\{"ok":true,"bookmark":"((?:[0-9a-f]{2})+)","device":"([0-9]+)","inode":"([0-9]+)","uid":"([0-9]+)"\}\n)re");

struct scratch_scene {
    temp_root root;
    // With an owner, the root and what the test makes below it belong to that
    // user, and runs are made as that user.
    std::optional<uid_t> owner;

    explicit scratch_scene(std::optional<uid_t> run_as) : root(run_as), owner(run_as) {}

    std::string at(const std::string& relative) const { return root.at(relative); }
    void own(const std::string& relative) const
    {
        if (owner && ::lchown(at(relative).c_str(), *owner, unprivileged_gid()) != 0)
            throw std::runtime_error("lchown " + relative);
    }
    void dir(const std::string& relative, mode_t mode = 0755) const
    {
        make_dir(at(relative), mode);
        own(relative);
    }
    void file(const std::string& relative, std::string_view content, mode_t mode = 0644) const
    {
        write_file(at(relative), content, mode);
        own(relative);
    }
    void link(const std::string& existing, const std::string& relative) const
    {
        if (::link(at(existing).c_str(), at(relative).c_str()) != 0)
            throw std::runtime_error("link " + existing + " " + relative);
    }
    void move(const std::string& from, const std::string& to) const
    {
        if (::renameat2(AT_FDCWD, at(from).c_str(), AT_FDCWD, at(to).c_str(), RENAME_NOREPLACE) != 0)
            throw std::runtime_error("rename " + from + " " + to);
    }

    run_result run(const std::string& command, const std::vector<std::string>& rest, run_options options = {}) const
    {
        if (owner)
            options.uid = *owner;
        return run_anchorfs(root.command(command, rest), options);
    }

    // "bookmark-parent" for an entry; the run must succeed with a bookmark line.
    bookmark_line bookmark(const std::string& entry) const
    {
        run_result r = run("bookmark-parent", {entry});
        std::smatch match;
        if (!r.err.empty() || r.exit_code != 0 || !std::regex_match(r.out, match, bookmark_line_pattern))
            throw std::runtime_error("bookmark-parent " + entry + " gave \"" + r.out + "\", exit "
                                     + std::to_string(r.exit_code) + ", stderr \"" + r.err + "\"");
        return {match[1], match[2], match[3], match[4]};
    }

    // A bookmarked_parent group of six slots for leaf in directory ("." for
    // the root), with the bookmark and identity that directory has now.
    std::vector<std::string> group(const std::string& directory, const std::string& leaf) const
    {
        bookmark_line line = bookmark(directory == "." ? "x" : directory + "/x");
        return {line.hex, line.device, line.inode, line.uid, directory, leaf};
    }
};

} // namespace anchorfs::test
