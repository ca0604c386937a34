// One case per command for the crash and fault campaigns: the tree it runs
// in, its arguments, the states on disk that a run cut short or failed may
// leave, and how such a state is settled (the recover command, a second run,
// or removal of a staging leftover).
#pragma once

#include "campaign/campaign_support.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace anchorfs::test::campaign {

class command_case {
public:
    virtual ~command_case() = default;
    virtual std::string command() const = 0;
    // Builds the tree in `s` and sets args and input.
    virtual void arrange(scene& s) = 0;
    // Takes the bookmarks its recovery needs, as an application does before it
    // starts the command.
    virtual void prepare_recovery(const scene& /*s*/) {}
    virtual testing::AssertionResult success_output(const run_result& r, const scene& /*s*/) const
    {
        return exact_output(r, plain_line, 0);
    }
    virtual bool reads() const { return false; }
    // The name of the state the tree is in, or "" with `why` set when the tree
    // is in none that the command allows.
    virtual std::string state(const scene& s, std::string& why) const = 0;
    virtual std::string untouched_state() const { return "before"; }
    virtual std::string completed_state() const { return "after"; }
    // Brings the tree from `state` to where the command's users settle it and
    // checks that a second settling run changes nothing.
    virtual void settle(scene& /*s*/, const std::string& /*state*/) {}
    // Puts the arranged tree back in the same scene for another run, keeping
    // what is costly to take again (bookmarks); false when a case needs a
    // fresh scene.
    virtual bool reset(scene& /*s*/) { return false; }

    // A run of the command with its input.
    run_result run(const scene& s, run_options options = {}) const
    {
        options.stdin_data = input;
        return s.run(command(), args, options);
    }

    std::vector<std::string> args;
    std::string input;

protected:
    tree original;

    // Everything but the involved paths is as it was.
    bool rest_unchanged(const scene& s, const std::vector<std::string>& involved, std::string& why) const
    {
        tree now = without(s.now(), involved);
        tree before = without(original, involved);
        if (now == before)
            return true;
        why = "entries outside " + testing::PrintToString(involved) + " changed: " + testing::PrintToString(now);
        return false;
    }
    // Runs a settling command twice: both succeed and leave `expected`.
    static void settle_with(const scene& s, const std::string& command, const std::vector<std::string>& rest,
                            const tree& expected, const std::string& input = {})
    {
        for (const char* pass : {"first", "second"}) {
            run_options options;
            options.stdin_data = input;
            run_result r = s.run(command, rest, options);
            EXPECT_TRUE(exact_output(r, plain_line, 0)) << pass << " " << command;
            EXPECT_EQ(s.now(), expected) << pass << " " << command;
        }
    }
};

using case_factory = std::function<std::unique_ptr<command_case>()>;

namespace cases {

// Which of `names` hold `file` (all with `links` links); the others must be absent.
inline int holders(const scene& s, const std::vector<std::string>& names, const entry& file, nlink_t links,
                   std::string& where, std::string& why)
{
    int count = 0;
    for (const std::string& name : names) {
        if (holds(s, name, file, links)) {
            ++count;
            where = name;
        } else if (!absent(s, name)) {
            why = name + " holds something else: " + testing::PrintToString(entry_of(s.at(name)));
            return -1;
        }
    }
    return count;
}

inline bool prefix_of(const std::string& part, const std::string& whole)
{
    return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

// ---------------------------------------------------------------- rename-excl, rename-swap, unlink-checked, link-excl

// The file d/f passes through s/staged and the quarantine name in s.
inline std::string unlink_state(const scene& s, const entry& file, const std::string& source_label,
                                const std::string& gone_label, std::string& why)
{
    const std::string quarantine = "s/" + quarantine_leaf;
    std::string where;
    int count = holders(s, {"d/f", "s/staged", quarantine}, file, 1, where, why);
    if (count < 0)
        return "";
    if (count == 0)
        return gone_label;
    if (count > 1) {
        why = "the file is under more than one name";
        return "";
    }
    return where == "d/f" ? source_label : where == "s/staged" ? "staging" : "quarantine";
}

// d/f (one link before the run) and its extra link under e/g, s/staged or the
// quarantine name in s.
inline std::string link_state(const scene& s, const entry& file, const std::string& plain_label,
                              const std::string& linked_label, std::string& why)
{
    const std::vector<std::string> extras = {"e/g", "s/staged", "s/" + quarantine_leaf};
    for (nlink_t links : {nlink_t(1), nlink_t(2)}) {
        if (!holds(s, "d/f", file, links))
            continue;
        std::string where;
        int count = holders(s, extras, file, links, where, why);
        if (count < 0)
            return "";
        if (count + 1 != static_cast<int>(links))
            continue;
        if (count == 0)
            return plain_label;
        return where == "e/g" ? linked_label : where == "s/staged" ? "staging" : "quarantine";
    }
    if (why.empty())
        why = "d/f does not hold the file with one link per name that holds it";
    return "";
}

// Each of `names` holds the file that `layout` puts there (file i under
// names[layout[i]]), with one link, or nothing.
inline bool laid_out(const scene& s, const std::vector<std::string>& names, const std::vector<entry>& files,
                     const std::vector<std::size_t>& layout)
{
    for (std::size_t n = 0; n < names.size(); ++n) {
        const auto placed = std::find(layout.begin(), layout.end(), n);
        if (placed == layout.end() ? !absent(s, names[n])
                                   : !holds(s, names[n], files[static_cast<std::size_t>(placed - layout.begin())], 1))
            return false;
    }
    return true;
}

struct placed_file {
    std::string name;
    std::string content;
    mode_t mode = 0644;
};

// One row per mutation command, serving its own case and its recover
// command's: the names it is given (each also a bookmarked group of the
// recover command, "directory/leaf"), the files it is told about, and how the
// states of the names are told apart.
struct mutation_row {
    std::string command;
    std::string recover;
    std::vector<std::string> names;
    std::vector<placed_file> files;
    bool described; // the command is given the files' descriptions, not their identities
    // Where a completed run leaves file i: under names[after[i]]. Without it,
    // by_names tells the states apart from where the first file is.
    std::vector<std::size_t> after;
    std::string (*by_names)(const scene&, const entry&, const std::string& before_label,
                            const std::string& after_label, std::string& why);
    // What a completed run did, from which the recover command undoes it;
    // nullptr where the recover command finishes the operation from the start.
    void (*complete)(const scene&);
    // The recover command's names for the states before and after the operation.
    std::string recovered_before;
    std::string recovered_after;
};

inline const std::vector<mutation_row>& mutation_rows()
{
    static const std::vector<mutation_row> rows = {
        {"rename-excl", "recover-rename", {"d/f", "e/g"}, {{"d/f", "rename payload\n"}}, false, {1}, nullptr,
         [](const scene& s) { s.move("d/f", "e/g"); }, "restored", "renamed"},
        {"rename-swap", "recover-swap", {"d/a", "e/b"},
         {{"d/a", "swap file one\n"}, {"e/b", "swap file two, a little longer\n", 0640}}, false, {1, 0}, nullptr,
         [](const scene& s) { s.swap("d/a", "e/b"); }, "restored", "swapped"},
        // The recover case starts where the unlink was interrupted before its
        // first move: the whole unlink is left to do.
        {"unlink-checked", "recover-unlink", {"d/f", "s/staged", "s/" + quarantine_leaf},
         {{"d/f", "unlink payload\n"}}, true, {}, unlink_state, nullptr, "source", "removed"},
        // The link was made and not yet reported: the extra link is under e/g.
        {"link-excl", "recover-link", {"d/f", "e/g", "s/staged", "s/" + quarantine_leaf}, {{"d/f", "link payload\n"}},
         true, {}, link_state, [](const scene& s) { s.link("d/f", "e/g"); }, "restored", "linked"},
    };
    return rows;
}

// Each directory of the row's names, once.
inline void make_directories(const scene& s, const mutation_row& row)
{
    std::set<std::string> made;
    for (const std::string& name : row.names)
        if (const std::string directory = name.substr(0, name.find('/')); made.insert(directory).second)
            s.dir(directory);
}

// The files, their entries and their descriptions.
inline std::vector<entry> make_files(const scene& s, const mutation_row& row, std::vector<std::string>& descriptions)
{
    std::vector<entry> files;
    descriptions.clear();
    for (const placed_file& f : row.files) {
        s.file(f.name, f.content, f.mode);
        files.push_back(entry_of(s.at(f.name)));
        descriptions = join({descriptions, description_args(s.at(f.name))});
    }
    return files;
}

inline std::vector<std::string> groups_of(const scene& s, const mutation_row& row)
{
    std::vector<std::string> groups;
    for (const std::string& name : row.names) {
        const std::size_t slash = name.find('/');
        groups = join({groups, s.group(name.substr(0, slash), name.substr(slash + 1))});
    }
    return groups;
}

// Where the recover command leaves the tree: as before the operation, or
// with the file gone where it finishes an unlink.
inline tree recovered(const mutation_row& row, const tree& original)
{
    return row.complete != nullptr ? original : without(original, {row.names.front()});
}

class mutation_case : public command_case {
    const mutation_row& row;
    std::vector<entry> files;
    std::vector<std::string> descriptions;
    std::vector<std::string> groups;

public:
    explicit mutation_case(const mutation_row& r) : row(r) {}
    std::string command() const override { return row.command; }
    void arrange(scene& s) override
    {
        make_directories(s, row);
        files = make_files(s, row, descriptions);
        std::vector<std::string> identities;
        for (const placed_file& f : row.files)
            identities = join({identities, identity_args(s.at(f.name))});
        args = join({row.names, row.described ? descriptions : identities});
        original = s.now();
    }
    void prepare_recovery(const scene& s) override { groups = groups_of(s, row); }
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, row.names, why))
            return "";
        if (row.by_names != nullptr)
            return row.by_names(s, files.front(), "before", "after", why);
        std::vector<std::size_t> before(files.size());
        for (std::size_t i = 0; i < before.size(); ++i)
            before[i] = i;
        if (laid_out(s, row.names, files, before))
            return "before";
        if (laid_out(s, row.names, files, row.after))
            return "after";
        why = "the names hold the files neither as before nor as after the run";
        return "";
    }
    void settle(scene& s, const std::string&) override
    {
        if (groups.empty())
            prepare_recovery(s);
        settle_with(s, row.recover, join({groups, descriptions}), recovered(row, original));
    }
};

// ---------------------------------------------------------------- create-file, create-private-file

// Content larger than one 64 KiB transfer, so the copy takes two reads and writes.
inline const std::string created_content = payload(70000, "created");

inline std::string created_state(const scene& s, const std::string& name, mode_t mode, std::string& why)
{
    if (absent(s, name))
        return "before";
    entry e = entry_of(s.at(name));
    if (e.type != 'f' || e.links != 1 || (e.mode & ~mode) != 0 || !prefix_of(e.content, created_content)) {
        why = name + " is not a part of the announced content: " + testing::PrintToString(e);
        return "";
    }
    return e.content == created_content && e.mode == mode ? "after" : "partial";
}

class create_file : public command_case {
    bool private_file;
    std::string parent() const { return private_file ? "p" : "d"; }

public:
    explicit create_file(bool private_store) : private_file(private_store) {}
    std::string command() const override { return private_file ? "create-private-file" : "create-file"; }
    void arrange(scene& s) override
    {
        s.dir(parent(), private_file ? 0700 : 0755);
        s.file(parent() + "/other", "neighbour\n", private_file ? 0600 : 0644);
        args = private_file ? std::vector<std::string>{"p/new", std::to_string(created_content.size())}
                            : std::vector<std::string>{"d/new", "420", std::to_string(created_content.size())};
        input = created_content;
        original = s.now();
    }
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, {parent() + "/new"}, why))
            return "";
        return created_state(s, parent() + "/new", private_file ? 0600 : 0644, why);
    }
};

// ---------------------------------------------------------------- create-private-file-staged

class create_private_file_staged : public command_case {
public:
    std::string command() const override { return "create-private-file-staged"; }
    void arrange(scene& s) override
    {
        s.dir("p", 0700);
        s.file("p/other", "neighbour\n", 0600);
        args = {"p/final", "p/stage", std::to_string(created_content.size())};
        input = created_content;
        original = s.now();
    }
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, {"p/final", "p/stage"}, why))
            return "";
        const bool final_absent = absent(s, "p/final");
        const bool stage_absent = absent(s, "p/stage");
        if (final_absent && stage_absent)
            return "before";
        if (!final_absent) {
            entry e = entry_of(s.at("p/final"));
            if (!stage_absent || e.type != 'f' || e.links != 1 || e.mode != 0600 || e.content != created_content) {
                why = "p/final holds no complete private file, or p/stage remains beside it";
                return "";
            }
            return "after";
        }
        entry e = entry_of(s.at("p/stage"));
        if (e.type != 'f' || e.links != 1 || (e.mode & ~0600) != 0 || !prefix_of(e.content, created_content)) {
            why = "p/stage holds something other than part of the content";
            return "";
        }
        return "staging left";
    }
    // A staging leftover is removed, then the creation is repeated.
    void settle(scene& s, const std::string& found) override
    {
        if (found == "staging left") {
            run_result r = s.run("remove-private-staging-file", {"p/stage", std::to_string(created_content.size())});
            EXPECT_TRUE(exact_output(r, plain_line, 0)) << "remove-private-staging-file";
            EXPECT_TRUE(absent(s, "p/stage"));
        }
        if (absent(s, "p/final")) {
            run_options options;
            options.stdin_data = input;
            EXPECT_TRUE(exact_output(s.run(command(), args, options), plain_line, 0)) << "second creation";
        }
        std::string why;
        EXPECT_EQ(state(s, why), "after") << why;
    }
};

// ---------------------------------------------------------------- remove-private-file, remove-private-staging-file

// A private file beside a neighbour: a staging leftover or a file deleted by
// its size and digest.
class private_file_removal : public command_case {
    bool staging;
    entry file;
    std::string name() const { return staging ? "p/stage" : "p/f"; }

public:
    explicit private_file_removal(bool staging_leftover) : staging(staging_leftover) {}
    std::string command() const override
    {
        return staging ? "remove-private-staging-file" : "remove-private-file";
    }
    void arrange(scene& s) override
    {
        s.dir("p", 0700);
        s.file(name(), staging ? "left behind by a staged creation\n" : "private payload\n", 0600);
        s.file("p/other", "neighbour\n", 0600);
        file = entry_of(s.at(name()));
        args = staging ? std::vector<std::string>{name(), "4096"}
                       : std::vector<std::string>{name(), std::to_string(file.content.size()),
                                                  sha256_hex(file.content)};
        original = s.now();
    }
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, {name()}, why))
            return "";
        if (holds(s, name(), file, 1))
            return "before";
        if (absent(s, name()))
            return "after";
        why = name() + " holds something else";
        return "";
    }
    void settle(scene& s, const std::string&) override { settle_with(s, command(), args, without(original, {name()})); }
};

// ---------------------------------------------------------------- private trees

// A file at the top and one in a subdirectory.
inline void private_tree(const scene& s, const std::string& top)
{
    s.dir(top, 0700);
    s.file(top + "/a", "tree file a\n", 0600);
    s.dir(top + "/b", 0700);
    s.file(top + "/b/c", "tree file c\n", 0600);
}

class remove_private_tree : public command_case {
public:
    std::string command() const override { return "remove-private-tree"; }
    void arrange(scene& s) override
    {
        s.dir("p", 0700);
        s.file("p/other", "neighbour\n", 0600);
        private_tree(s, "p/t");
        args = {"p/t", "4096", "16"};
        original = s.now();
    }
    // What is left of the tree is a part of it, each entry as it was.
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, {"p/t"}, why))
            return "";
        tree now = s.now();
        std::size_t left = 0;
        for (const auto& [path, e] : now) {
            if (!below(path, "p/t"))
                continue;
            auto it = original.find(path);
            if (it == original.end() || !(it->second == e)) {
                why = path + " is not an entry of the tree as it was: " + testing::PrintToString(e);
                return "";
            }
            ++left;
        }
        const std::size_t all = original.size() - without(original, {"p/t"}).size();
        return left == all ? "before" : left == 0 ? "after" : "partial";
    }
    void settle(scene& s, const std::string&) override { settle_with(s, command(), args, without(original, {"p/t"})); }
};

class quarantine_private_tree : public command_case {
public:
    std::string command() const override { return "quarantine-private-tree"; }
    void arrange(scene& s) override
    {
        s.dir("p", 0700);
        s.file("p/other", "neighbour\n", 0600);
        private_tree(s, "p/t");
        args = {"p/t", "p/q"};
        original = s.now();
    }
    std::string state(const scene& s, std::string& why) const override
    {
        tree now = s.now();
        if (now == original)
            return "before";
        if (now == moved(original, "p/t", "p/q"))
            return "after";
        why = "the tree is neither whole at p/t nor whole at p/q: " + testing::PrintToString(now);
        return "";
    }
    void settle(scene& s, const std::string&) override
    {
        settle_with(s, command(), args, moved(original, "p/t", "p/q"));
    }
};

// ---------------------------------------------------------------- ensure-dir, ensure-private-dir

inline const std::regex directory_line_pattern(
    R"re(\{"ok":true,"device":"([0-9]+)","inode":"([0-9]+)","uid":"([0-9]+)","mode":"([0-9]+)"\}\n)re");

class ensure_dir : public command_case {
    bool private_dir;
    std::string name() const { return private_dir ? "p/new" : "d/new"; }

public:
    explicit ensure_dir(bool private_store) : private_dir(private_store) {}
    std::string command() const override { return private_dir ? "ensure-private-dir" : "ensure-dir"; }
    void arrange(scene& s) override
    {
        s.dir(private_dir ? "p" : "d", private_dir ? 0700 : 0755);
        args = {name()};
        original = s.now();
    }
    testing::AssertionResult success_output(const run_result& r, const scene& s) const override
    {
        std::smatch match;
        if (r.exit_code != 0 || !r.err.empty() || !std::regex_match(r.out, match, directory_line_pattern))
            return testing::AssertionFailure() << "no directory line: \"" << r.out << "\" exit " << r.exit_code;
        if (absent(s, name()) || std::stoull(match[2].str()) != entry_of(s.at(name())).inode)
            return testing::AssertionFailure() << "the directory line names another directory";
        return testing::AssertionSuccess();
    }
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, {name()}, why))
            return "";
        if (absent(s, name()))
            return "before";
        tree now = s.now();
        if (now.at(name()).type == 'd' && without(now, {name()}).size() + 1 == now.size())
            return "after";
        why = name() + " is not an empty directory";
        return "";
    }
};

// ---------------------------------------------------------------- read-private-file, read-external-file

class read_file_case : public command_case {
    bool private_read;
    std::string content = payload(70000, "read");

public:
    explicit read_file_case(bool private_store) : private_read(private_store) {}
    std::string command() const override { return private_read ? "read-private-file" : "read-external-file"; }
    bool reads() const override { return true; }
    void arrange(scene& s) override
    {
        s.dir("p", 0700);
        s.file("p/f", content, 0600);
        if (private_read) {
            args = {"p/f", "100000"};
        } else {
            struct stat parent = lstat_of(s.at("p"));
            args = {"p/f", "100000", std::to_string(parent.st_dev), std::to_string(parent.st_ino),
                    std::to_string(parent.st_uid)};
        }
        original = s.now();
    }
    testing::AssertionResult success_output(const run_result& r, const scene&) const override
    {
        return exact_output(r, "{\"ok\":true,\"size\":\"" + std::to_string(content.size()) + "\"}\n" + content, 0);
    }
    std::string untouched_state() const override { return "unchanged"; }
    std::string completed_state() const override { return "unchanged"; }
    std::string state(const scene& s, std::string& why) const override
    {
        if (!rest_unchanged(s, {}, why))
            return "";
        return "unchanged";
    }
};

// ---------------------------------------------------------------- bookmark-parent

class bookmark_parent : public command_case {
public:
    std::string command() const override { return "bookmark-parent"; }
    void arrange(scene& s) override
    {
        s.dir("d");
        s.file("d/f", "bookmarked\n");
        args = {"d/f"};
        original = s.now();
    }
    testing::AssertionResult success_output(const run_result& r, const scene& s) const override
    {
        std::smatch match;
        if (r.exit_code != 0 || !r.err.empty() || !std::regex_match(r.out, match, bookmark_line_pattern))
            return testing::AssertionFailure() << "no bookmark line: \"" << r.out << "\" exit " << r.exit_code;
        if (std::stoull(match[3].str()) != entry_of(s.at("d")).inode)
            return testing::AssertionFailure() << "the bookmark line names another directory";
        return testing::AssertionSuccess();
    }
    std::string untouched_state() const override { return "unchanged"; }
    std::string completed_state() const override { return "unchanged"; }
    std::string state(const scene& s, std::string& why) const override
    {
        return rest_unchanged(s, {}, why) ? "unchanged" : "";
    }
};

// ---------------------------------------------------------------- recover commands

// Each starts from the tree an interrupted run of its mutation command left
// and settles it. Their bookmarks stay valid as long as the directories do,
// so one scene serves many runs: reset() clears the names and builds the
// interrupted state again.
class recover_case : public command_case {
    const mutation_row& row;
    std::vector<entry> files;
    std::vector<std::string> groups;
    tree interrupted;

    // The group's directories were bookmarked under "m" and then moved to
    // their names, so the recorded paths lead nowhere and an unprivileged run
    // finds them by the search by inode.
    bool moved_after_bookmark;

public:
    explicit recover_case(const mutation_row& r, bool moved = false) : row(r), moved_after_bookmark(moved) {}
    std::string command() const override { return row.recover; }
    std::string untouched_state() const override
    {
        return row.complete != nullptr ? row.recovered_after : row.recovered_before;
    }
    std::string completed_state() const override
    {
        return row.complete != nullptr ? row.recovered_before : row.recovered_after;
    }
    void arrange(scene& s) override
    {
        if (!moved_after_bookmark) {
            make_directories(s, row);
            groups = groups_of(s, row);
        } else {
            // Ten directories beside them, listed before the search reaches
            // them, so that it holds all the directories it may hold.
            for (int i = 0; i < 10; ++i)
                s.dir("w" + std::to_string(i));
            s.dir("m");
            groups.clear();
            std::set<std::string> made;
            for (const std::string& name : row.names) {
                const std::string directory = name.substr(0, name.rfind('/'));
                const std::string base = directory.substr(directory.rfind('/') + 1);
                for (std::size_t slash = directory.find('/'); slash != std::string::npos;
                     slash = directory.find('/', slash + 1))
                    if (made.insert(directory.substr(0, slash)).second)
                        s.dir(directory.substr(0, slash));
                if (made.insert(directory).second)
                    s.dir("m/" + base);
                std::vector<std::string> group = s.group("m/" + base, name.substr(name.rfind('/') + 1));
                group[4] = directory;
                groups = join({groups, group});
            }
            for (const std::string& name : row.names) {
                const std::string directory = name.substr(0, name.rfind('/'));
                const std::string base = directory.substr(directory.rfind('/') + 1);
                if (absent(s, directory))
                    s.move("m/" + base, directory);
            }
        }
        build(s);
    }
    bool reset(scene& s) override
    {
        for (const std::string& name : row.names)
            if (!absent(s, name))
                ::unlink(s.at(name).c_str());
        build(s);
        return true;
    }
    std::string state(const scene& s, std::string& why) const override
    {
        if (row.by_names != nullptr) {
            if (!rest_unchanged(s, row.names, why))
                return "";
            return row.by_names(s, files.front(), row.recovered_before, row.recovered_after, why);
        }
        tree now = s.now();
        if (now == interrupted)
            return row.recovered_after;
        if (now == original)
            return row.recovered_before;
        why = "neither " + row.recovered_after + " nor " + row.recovered_before + ": " + testing::PrintToString(now);
        return "";
    }
    void settle(scene& s, const std::string&) override { settle_with(s, command(), args, recovered(row, original)); }

private:
    // The files, and the state the interrupted run left them in.
    void build(scene& s)
    {
        std::vector<std::string> descriptions;
        files = make_files(s, row, descriptions);
        args = join({groups, descriptions});
        original = s.now();
        if (row.complete != nullptr) {
            row.complete(s);
            interrupted = s.now();
        }
    }
};
} // namespace cases

// Every command by name: the mutation commands, the others, then the recover commands.
inline const std::vector<std::pair<std::string, case_factory>>& all_cases()
{
    using namespace cases;
    static const std::vector<std::pair<std::string, case_factory>> table = [] {
        std::vector<std::pair<std::string, case_factory>> named;
        for (const mutation_row& row : mutation_rows())
            named.emplace_back(row.command, [&row] { return std::make_unique<mutation_case>(row); });
        named.insert(named.end(), {
            {"create-file", [] { return std::make_unique<create_file>(false); }},
            {"create-private-file", [] { return std::make_unique<create_file>(true); }},
            {"create-private-file-staged", [] { return std::make_unique<create_private_file_staged>(); }},
            {"remove-private-file", [] { return std::make_unique<private_file_removal>(false); }},
            {"remove-private-tree", [] { return std::make_unique<remove_private_tree>(); }},
            {"quarantine-private-tree", [] { return std::make_unique<quarantine_private_tree>(); }},
            {"ensure-dir", [] { return std::make_unique<ensure_dir>(false); }},
            {"ensure-private-dir", [] { return std::make_unique<ensure_dir>(true); }},
            {"read-private-file", [] { return std::make_unique<read_file_case>(true); }},
            {"read-external-file", [] { return std::make_unique<read_file_case>(false); }},
            {"remove-private-staging-file", [] { return std::make_unique<private_file_removal>(true); }},
            {"bookmark-parent", [] { return std::make_unique<bookmark_parent>(); }},
        });
        for (const mutation_row& row : mutation_rows())
            named.emplace_back(row.recover, [&row] { return std::make_unique<recover_case>(row); });
        return named;
    }();
    return table;
}

// recover-rename and recover-swap with their directories two levels down, in
// "x/y", for the case whose bookmarked directories moved after their bookmarks
// were taken.
inline const std::vector<cases::mutation_row>& moved_mutation_rows()
{
    static const std::vector<cases::mutation_row> rows = {
        {"rename-excl", "recover-rename", {"x/y/d/f", "x/y/e/g"}, {{"x/y/d/f", "rename payload\n"}}, false, {1}, nullptr,
         [](const scene& s) { s.move("x/y/d/f", "x/y/e/g"); }, "restored", "renamed"},
        {"rename-swap", "recover-swap", {"x/y/d/a", "x/y/e/b"},
         {{"x/y/d/a", "swap file one\n"}, {"x/y/e/b", "swap file two, a little longer\n", 0640}}, false, {1, 0}, nullptr,
         [](const scene& s) { s.swap("x/y/d/a", "x/y/e/b"); }, "restored", "swapped"},
    };
    return rows;
}

// The recover command's case whose bookmarked directories were bookmarked in
// "m" and then moved to their names below "x/y": the recorded paths lead
// nowhere, and an unprivileged run finds each directory by the search by
// inode, after listing the root and every directory beside "x" (more than
// the search holds).
inline case_factory moved_recover_case_named(const std::string& name)
{
    for (const cases::mutation_row& row : moved_mutation_rows())
        if (row.recover == name)
            return [&row] { return std::make_unique<cases::recover_case>(row, true); };
    throw std::invalid_argument("no recover command " + name);
}

inline case_factory case_named(const std::string& name)
{
    for (const auto& [command, make] : all_cases())
        if (command == name)
            return make;
    throw std::invalid_argument("no campaign case for " + name);
}

// A fresh case made by `make`, its tree built in `s`.
inline std::unique_ptr<command_case> arranged(const case_factory& make, scene& s)
{
    std::unique_ptr<command_case> c = make();
    c->arrange(s);
    return c;
}

// Run options that trace the calls, with the seam's `rules`.
inline run_options traced(const std::string& rules = {})
{
    run_options options;
    options.trace = true;
    options.seam.rules = rules;
    return options;
}

// "rename-excl" -> "RenameExcl", for test names.
inline std::string camel(const std::string& command)
{
    std::string name;
    bool upper = true;
    for (char c : command) {
        if (c == '-') {
            upper = true;
            continue;
        }
        name.push_back(upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
        upper = false;
    }
    return name;
}

} // namespace anchorfs::test::campaign
