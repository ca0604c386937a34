// recover-rename and recover-swap: from every state the two names can be in,
// the tree goes back to its state from before the rename or swap, or the
// command fails without changing anything.

#include "recovery/recovery_scene.hpp"

#include <tuple>

namespace anchorfs::test::recovery {
namespace {

// ---------------------------------------------------------------- recover-rename

// The rename was of d/f to e/g; file is "content\n".
class RecoverRename : public testing::TestWithParam<std::tuple<runner, recover_state>> {};

TEST_P(RecoverRename, SettlesToTheStateBeforeTheRenameOrChangesNothing)
{
    const auto& [who, state] = GetParam();
    scene s(who);
    const std::vector<std::string> args = before_rename(s);
    expect_recovered_from(s, state, "recover-rename", args, s.tree());
}

INSTANTIATE_TEST_SUITE_P(
    States, RecoverRename,
    testing::Combine(
        both_runners,
        testing::Values(
            recover_state{"NeverHappened", [](const scene&) {}, expected::unchanged},
            recover_state{"Renamed", [](const scene& s) { s.move("d/f", "e/g"); }, expected::settled},
            recover_state{"BothNamesHoldAFile", [](const scene& s) { s.file("e/g", "content\n"); }, expected::refused},
            recover_state{"NeitherName", [](const scene& s) { s.move("d/f", "e/elsewhere"); }, expected::refused},
            recover_state{"BothNamesHoldTheFile",
                         [](const scene& s) { s.link("d/f", "e/g"); }, expected::refused},
            recover_state{"DestinationModifiedLater",
                         [](const scene& s) {
                             s.move("d/f", "e/g");
                             s.touch_later("e/g");
                         },
                         expected::refused},
            recover_state{"DestinationHasAnotherLink",
                         [](const scene& s) {
                             s.move("d/f", "e/g");
                             s.link("e/g", "e/extra");
                         },
                         expected::refused},
            recover_state{"DestinationContentChangedSameSizeAndTime",
                         [](const scene& s) {
                             s.move("d/f", "e/g");
                             s.rewrite("e/g", "CONTENT\n", true);
                         },
                         expected::refused},
            recover_state{"DestinationIsACopy",
                         [](const scene& s) {
                             s.move("d/f", "e/original");
                             s.file("e/g", "content\n");
                         },
                         expected::refused},
            recover_state{"DestinationIsASymlinkToTheFile",
                         [](const scene& s) {
                             s.move("d/f", "e/real");
                             ASSERT_EQ(::symlink("real", s.at("e/g").c_str()), 0);
                         },
                         expected::refused})),
    state_name);

TEST(RecoverRenameUndo, WithinOneDirectory_Undone)
{
    scene s(runner::privileged);
    s.dir("d");
    s.file("d/f", "content\n");
    const std::vector<std::string> args = join({s.group("d", "f"), s.group("d", "g"), s.describe("d/f")});
    const tree_snapshot original = s.tree();
    s.move("d/f", "d/g");
    EXPECT_TRUE(succeeded(s.run("recover-rename", args)));
    EXPECT_EQ(s.tree(), original);
}

// ---------------------------------------------------------------- recover-swap

// The swap was of d/a (file 1) and e/b (file 2).
class RecoverSwap : public testing::TestWithParam<std::tuple<runner, recover_state>> {};

TEST_P(RecoverSwap, SettlesToTheStateBeforeTheSwapOrChangesNothing)
{
    const auto& [who, state] = GetParam();
    scene s(who);
    s.dir("d");
    s.dir("e");
    s.file("d/a", "file one\n");
    s.file("e/b", "file two\n");
    const std::vector<std::string> args =
        join({s.group("d", "a"), s.group("e", "b"), s.describe("d/a"), s.describe("e/b")});
    expect_recovered_from(s, state, "recover-swap", args, s.tree());
}

INSTANTIATE_TEST_SUITE_P(
    States, RecoverSwap,
    testing::Combine(
        both_runners,
        testing::Values(
            recover_state{"NeverHappened", [](const scene&) {}, expected::unchanged},
            recover_state{"FirstNameGoneSecondStillHoldsFileTwo", [](const scene& s) { s.move("d/a", "d/elsewhere"); },
                       expected::unchanged},
            recover_state{"Swapped", [](const scene& s) { s.swap("d/a", "e/b"); }, expected::settled},
            recover_state{"SwappedButSecondNameHoldsAThirdFile",
                       [](const scene& s) {
                           s.swap("d/a", "e/b");
                           s.move("e/b", "e/away");
                           s.file("e/b", "third\n");
                       },
                       expected::refused},
            recover_state{"SwappedButFirstNameHoldsAThirdFile",
                       [](const scene& s) {
                           s.swap("d/a", "e/b");
                           s.move("d/a", "d/away");
                           s.file("d/a", "third\n");
                       },
                       expected::refused},
            recover_state{"SwappedButFirstNameGone",
                       [](const scene& s) {
                           s.swap("d/a", "e/b");
                           s.move("d/a", "d/away");
                       },
                       expected::refused},
            recover_state{"BothNamesGone",
                       [](const scene& s) {
                           s.move("d/a", "d/away");
                           s.move("e/b", "e/away");
                       },
                       expected::refused},
            recover_state{"FirstHoldsFileOneSecondGone", [](const scene& s) { s.move("e/b", "e/away"); },
                       expected::refused},
            recover_state{"SwappedAndFileOneModified",
                       [](const scene& s) {
                           s.swap("d/a", "e/b");
                           s.rewrite("e/b", "FILE ONE\n", true);
                       },
                       expected::refused})),
    state_name);

// ---------------------------------------------------------------- after the undo

struct undo_case {
    const char* name;
    const char* command;
    bool swap;
};

void PrintTo(const undo_case& c, std::ostream* out) { *out << c.name; }

struct undo_scene {
    scene s{runner::privileged};
    std::vector<std::string> args;
    tree_snapshot original;

    explicit undo_scene(bool swap)
    {
        s.dir("d");
        s.dir("e");
        s.file("d/a", "file one\n");
        if (swap) {
            s.file("e/b", "file two\n");
            args = join({s.group("d", "a"), s.group("e", "b"), s.describe("d/a"), s.describe("e/b")});
            original = s.tree();
            s.swap("d/a", "e/b");
        } else {
            args = join({s.group("d", "a"), s.group("e", "b"), s.describe("d/a")});
            original = s.tree();
            s.move("d/a", "e/b");
        }
    }
};

class Recover_FsyncFails : public testing::TestWithParam<std::tuple<undo_case, int>> {};

// The undo stays in place; only its durability could not be shown.
TEST_P(Recover_FsyncFails, ReportsTheErrorWithTheUndoInPlace)
{
    const auto& [c, which] = GetParam();
    undo_scene t(c.swap);
    run_options options;
    options.seam.rules = "fail:fsync:" + std::to_string(which) + ":EIO";
    EXPECT_TRUE(failed_with(t.s.run(c.command, t.args, options), "FILESYSTEM_ERROR", EIO));
    EXPECT_EQ(t.s.tree(), t.original);
    EXPECT_TRUE(succeeded(t.s.run(c.command, t.args)));
    EXPECT_EQ(t.s.tree(), t.original);
}

INSTANTIATE_TEST_SUITE_P(Commands, Recover_FsyncFails,
                         testing::Combine(testing::Values(undo_case{"RecoverRename", "recover-rename", false},
                                                          undo_case{"RecoverSwap", "recover-swap", true}),
                                          testing::Values(1, 2)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_Fsync"
                                    + std::to_string(std::get<1>(info.param));
                         });

// Paused right after the undo's rename, the file that came back is rewritten;
// the post-check fails, the entries go back where the run found them.
TEST(RecoverRenameUndo, FileChangedRightAfterTheUndo_MovedBackAndFails)
{
    undo_scene t(false);
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { t.s.rewrite("d/a", "FILE ONE\n", false); });
    const ino_t inode = lstat_of(t.s.at("e/b")).st_ino;
    EXPECT_TRUE(identity_changed(t.s.run("recover-rename", t.args, options)));
    EXPECT_FALSE(exists(t.s.at("d/a")));
    EXPECT_EQ(lstat_of(t.s.at("e/b")).st_ino, inode);
    EXPECT_EQ(read_file(t.s.at("e/b")), "FILE ONE\n");
}

TEST(RecoverSwapUndo, FileChangedRightAfterTheUndo_SwappedBackAndFails)
{
    undo_scene t(true);
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { t.s.rewrite("d/a", "FILE ONE\n", false); });
    const ino_t file_two = lstat_of(t.s.at("d/a")).st_ino;
    const ino_t file_one = lstat_of(t.s.at("e/b")).st_ino;
    EXPECT_TRUE(identity_changed(t.s.run("recover-swap", t.args, options)));
    EXPECT_EQ(lstat_of(t.s.at("d/a")).st_ino, file_two);
    EXPECT_EQ(lstat_of(t.s.at("e/b")).st_ino, file_one);
    EXPECT_EQ(read_file(t.s.at("e/b")), "FILE ONE\n");
    EXPECT_EQ(read_file(t.s.at("d/a")), "file two\n");
}

// Paused after the probes of the two names (the last read of the content
// proof), the destination directory is moved away and a look-alike is put at
// its path: the refresh before the move notices, and nothing is moved.
TEST(RecoverRenameUndo, DestinationDirectoryReplacedBeforeTheUndo_FailsAndChangesNothing)
{
    run_options traced;
    traced.trace = true;
    undo_scene probe(false);
    run_result learned = probe.s.run("recover-rename", probe.args, traced);
    ASSERT_TRUE(succeeded(learned));
    int reads_before_rename = 0;
    for (const std::string& line : learned.trace) {
        if (line.rfind("renameat2 ", 0) == 0)
            break;
        if (line.rfind("read ", 0) == 0)
            ++reads_before_rename;
    }
    ASSERT_GT(reads_before_rename, 0);

    undo_scene t(false);
    tree_snapshot replaced;
    run_options options;
    options.seam.rules = "pause:read:" + std::to_string(reads_before_rename);
    options.seam.on_pause = [&](const std::string&) {
        t.s.move("e", "e-away");
        t.s.dir("e");
        replaced = t.s.tree();
    };
    EXPECT_TRUE(identity_changed(t.s.run("recover-rename", t.args, options)));
    EXPECT_EQ(t.s.tree(), replaced);
    EXPECT_TRUE(exists(t.s.at("e-away/b")));
}

} // namespace
} // namespace anchorfs::test::recovery
