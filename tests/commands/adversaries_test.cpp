// One table of adversaries driving the four checked mutations. A row says what
// the adversary does and when (before the run, or paused after the n-th call
// of a function), which commands it is tried on, and what the run must end
// with: the exact line, the exit status, the renames it makes and the tree.
// The expected tree is said in terms of the command's own states (before,
// right after its mutation, done), so one row serves every command.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <ostream>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

struct adversary {
    std::string name;
    std::vector<const mutation_command*> commands;
    // Changes the scene before the run and says when to act during it.
    run_options (*arrange)(mutation_scene&);
    std::string code; // empty: the plain success line
    int error;
    tree_state (*after)(const mutation_scene&);
    std::size_t renames = 0; // renameat2 calls of the run; 0: not counted
};

const mutation_command* const every_command[] = {&rename_excl(), &rename_swap(), &unlink_checked(), &link_excl()};

// While paused, the mutation has happened as the command describes.
run_options after_mutation(mutation_scene& s, void (*action)(mutation_scene&))
{
    return paused_at(s.command.mutation, 1, [&s, action](const std::string&) {
        s.expect(s.command.mutated);
        action(s);
    });
}

const adversary adversaries[] = {
    {"Unhindered",
     {&rename_excl(), &unlink_checked(), &link_excl()}, // rename-swap's is its test of running twice
     [](mutation_scene&) { return run_options{}; },
     "", 0,
     [](const mutation_scene& s) { return s.command.done; }},

    // A file already at the target is not the caller's: it stays, and nothing moves.
    {"TargetTaken",
     {&rename_excl(), &unlink_checked(), &link_excl()},
     [](mutation_scene& s) {
         s.write(s.command.target, "occupant");
         return run_options{};
     },
     "EEXIST", EEXIST,
     [](const mutation_scene& s) { return with(s.command.before, {{s.command.target, "occupant"}}); }},

    // The described link count must be the file's: a second name made after
    // the description is another file.
    {"SecondLinkAfterDescription",
     {&rename_excl(), &rename_swap(), &unlink_checked(), &link_excl()},
     [](mutation_scene& s) {
         const std::string& first = s.command.names[0];
         EXPECT_EQ(::link(s.at(first).c_str(), s.at(parent_of(first) + "/second").c_str()), 0);
         return run_options{};
     },
     "IDENTITY_CHANGED", ESTALE,
     [](const mutation_scene& s) {
         const std::string& first = s.command.names[0];
         const std::string content = s.command.before[0].content;
         return with(s.command.before, {{first, content, 2}, {parent_of(first) + "/second", content, 2}});
     }},

    // A writer rewrites bytes the proof has hashed, puts the modification
    // time back and is gone before the proof ends: size and modification time
    // are as described, only the change time tells. Nothing is deleted.
    {"ContentRewrittenWhileHashedTimesPutBack",
     {&unlink_checked()},
     [](mutation_scene& s) {
         return paused_at("read", 1, [&s](const std::string&) {
             for (const std::string name : {"src/f", "stage/staged"})
                 if (exists(s.at(name)) && lstat_of(s.at(name)).st_size != 0)
                     rewrite_keeping_times(s.at(name), "DOO");
             s.inodes["DOOmed content"] = s.inodes.at("doomed content");
         });
     },
     "IDENTITY_CHANGED", ESTALE,
     [](const mutation_scene& s) { return with(s.command.before, {{"src/f", "DOOmed content"}}); }},

    // A mode of permission bits without the regular-file type bits is another file.
    {"LastIdentityModeWithoutTypeBits",
     {&rename_excl(), &rename_swap()},
     [](mutation_scene& s) {
         EXPECT_EQ(s.descriptions.back()[4], std::to_string(S_IFREG | 0644));
         s.descriptions.back()[4] = "420";
         return run_options{};
     },
     "IDENTITY_CHANGED", ESTALE,
     [](const mutation_scene& s) { return s.command.before; }},

    // A mutation that cannot be flushed is a plain failure and stays.
    {"FlushAfterMutationFails",
     {&rename_excl(), &rename_swap()},
     [](mutation_scene&) { return failing_at("fsync", 1, "EIO"); },
     "FILESYSTEM_ERROR", EIO,
     [](const mutation_scene& s) { return s.command.mutated; }},

    // The target's parent is renamed away and an empty look-alike put at its
    // path. Checks through the held parents pass, the anchoring check fails,
    // and the run undoes its mutation through the held parents.
    {"TargetParentReplacedAfterMutation",
     {&rename_excl(), &rename_swap(), &unlink_checked(), &link_excl()},
     [](mutation_scene& s) {
         return after_mutation(s, [](mutation_scene& s) {
             const std::string dir = parent_of(s.command.target);
             replace_directory(s.at(dir), s.at(dir + "-away"));
         });
     },
     "RACE_ROLLED_BACK", ESTALE,
     [](const mutation_scene& s) {
         const std::string dir = parent_of(s.command.target);
         return moved_below(s.command.before, dir, dir + "-away");
     },
     2},

    // As above, and the adversary also puts a new file at the first name:
    // the undo would have to replace it, so the moved file stays where it went.
    {"TargetParentReplacedAndFirstNameReusedAfterMutation",
     {&rename_excl()},
     [](mutation_scene& s) {
         return after_mutation(s, [](mutation_scene& s) {
             const std::string dir = parent_of(s.command.target);
             replace_directory(s.at(dir), s.at(dir + "-away"));
             s.write(s.command.names[0], "newcomer");
         });
     },
     "RACE_PRESERVED", ESTALE,
     [](const mutation_scene& s) {
         const std::string dir = parent_of(s.command.target);
         return with(moved_below(s.command.mutated, dir, dir + "-away"), {{s.command.names[0], "newcomer"}});
     }},

    // Another process parks what the mutation put at the target and puts a
    // file of its own there. That file is not the caller's: nothing is moved
    // back over it or deleted.
    {"TargetReplacedByAnotherFileAfterMutation",
     {&rename_excl(), &rename_swap(), &unlink_checked()},
     [](mutation_scene& s) {
         return after_mutation(s, [](mutation_scene& s) {
             ASSERT_EQ(std::rename(s.at(s.command.target).c_str(), s.at("parked").c_str()), 0);
             s.write(s.command.target, "foreign");
         });
     },
     "RACE_PRESERVED", ESTALE,
     [](const mutation_scene& s) {
         return with(s.command.mutated, {{s.command.target, "foreign"}, {"parked", s.target_content()}});
     },
     1},

    // Another process undoes the mutation before the post-check: the state
    // from before is there, and the run changes nothing more.
    {"MutationUndoneByAnotherProcess",
     {&rename_excl(), &rename_swap(), &unlink_checked()},
     [](mutation_scene& s) {
         return after_mutation(s, [](mutation_scene& s) {
             const std::string first = s.at(s.command.names[0]);
             const std::string target = s.at(s.command.target);
             if (s.command.exchanges)
                 exchange_entries(first, target);
             else
                 ASSERT_EQ(std::rename(target.c_str(), first.c_str()), 0);
         });
     },
     "RACE_ROLLED_BACK", ESTALE,
     [](const mutation_scene& s) { return s.command.before; },
     1},

    // As above, and the adversary then puts a file of its own at the target
    // (rename-swap's B, parked first): the state from before is not there, so
    // the run leaves everything as it finds it.
    {"MutationUndoneAndTargetRetakenByAnotherProcess",
     {&rename_excl(), &rename_swap(), &unlink_checked()},
     [](mutation_scene& s) {
         return after_mutation(s, [](mutation_scene& s) {
             const std::string first = s.at(s.command.names[0]);
             const std::string target = s.at(s.command.target);
             if (s.command.exchanges) {
                 exchange_entries(first, target);
                 ASSERT_EQ(std::rename(target.c_str(), s.at("parked").c_str()), 0);
             } else {
                 ASSERT_EQ(std::rename(target.c_str(), first.c_str()), 0);
             }
             s.write(s.command.target, "foreign");
         });
     },
     "RACE_PRESERVED", ESTALE,
     [](const mutation_scene& s) {
         tree_state after = with(s.command.before, {{s.command.target, "foreign"}});
         for (const held& entry : s.command.before)
             if (s.command.exchanges && entry.name == s.command.target)
                 after.push_back({"parked", entry.content});
         return after;
     },
     1},

    // rename-swap's A is parked and replaced after the exchange: neither the
    // state from before nor the exchanged one is there to undo.
    {"FirstNameReplacedAfterMutation",
     {&rename_swap()},
     [](mutation_scene& s) {
         return after_mutation(s, [](mutation_scene& s) {
             ASSERT_EQ(std::rename(s.at(s.command.names[0]).c_str(), s.at("parked").c_str()), 0);
             s.write(s.command.names[0], "foreign");
         });
     },
     "RACE_PRESERVED", ESTALE,
     [](const mutation_scene& s) {
         return with(s.command.mutated, {{s.command.names[0], "foreign"}, {"parked", s.command.mutated[0].content}});
     },
     1},

    // The undo after a failed anchoring check cannot be flushed: it is not
    // reported as a rollback.
    {"TargetParentReplacedAfterMutationUndoNotFlushed",
     {&rename_swap()},
     [](mutation_scene& s) {
         run_options options = after_mutation(s, [](mutation_scene& s) {
             const std::string dir = parent_of(s.command.target);
             replace_directory(s.at(dir), s.at(dir + "-away"));
         });
         options.seam.rules += ";" + fail_rule("fsync", 1, "EIO");
         return options;
     },
     "RACE_PRESERVED", ESTALE,
     [](const mutation_scene& s) {
         const std::string dir = parent_of(s.command.target);
         return moved_below(s.command.before, dir, dir + "-away");
     },
     2},
};

struct adversary_case {
    const mutation_command* command;
    const adversary* row;
    friend void PrintTo(const adversary_case& c, std::ostream* out) { *out << c.command->name << " " << c.row->name; }
};

std::vector<adversary_case> adversary_cases()
{
    std::vector<adversary_case> cases;
    for (const mutation_command* command : every_command)
        for (const adversary& row : adversaries)
            for (const mutation_command* applies : row.commands)
                if (applies == command)
                    cases.push_back({command, &row});
    return cases;
}

// "rename-excl" and "TargetTaken" -> "RenameExcl_TargetTaken".
std::string case_name(const testing::TestParamInfo<adversary_case>& info)
{
    std::string name;
    bool upper = true;
    for (char c : info.param.command->name) {
        if (c == '-') {
            upper = true;
            continue;
        }
        name += upper ? static_cast<char>(c - 'a' + 'A') : c;
        upper = false;
    }
    return name + "_" + info.param.row->name;
}

class Adversary : public testing::TestWithParam<adversary_case> {};

TEST_P(Adversary, ExactLineStatusAndTree)
{
    const adversary* row = GetParam().row;
    mutation_scene s(*GetParam().command);
    run_options options = row->arrange(s);
    options.trace = true;
    options.check_fds = true;
    run_result r = run_anchorfs(s.args(), options);
    if (row->code.empty())
        expect_plain(r);
    else
        expect_failure(r, row->code, row->error);
    if (row->renames != 0) {
        EXPECT_EQ(calls_of(r, "renameat2"), row->renames);
    }
    s.expect(row->after(s));
}

INSTANTIATE_TEST_SUITE_P(MutationCommands, Adversary, testing::ValuesIn(adversary_cases()), case_name);

} // namespace
