// Checked moves and swaps: refusals that change nothing, the undo after a
// failed post-check, directory moves with their flushes, durable quarantine
// moves. Races run the checked driver under the seam.

#include "checked/checked_moves.hpp"
#include "checked_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// The driver's move of from/<source> to to/<destination>, described as it is now.
run_result run_move(const char* command, const two_dirs& t, const char* source, const char* destination,
                    const run_options& options)
{
    return run_driver(join({{command, t.from(), source, t.to(), destination}, identity_args(t.from(source))}), options);
}

// from/f holding "source", with its status as observed.
class file_to_move_test : public testing::Test {
protected:
    file_to_move_test()
    {
        write_file(t.from("f"), "source");
        expected = lstat_of(t.from("f"));
    }
    two_dirs t;
    struct stat expected {};
};

// ------------------------------------------------------------ regular moves

using MoveRegular = file_to_move_test;

TEST_F(MoveRegular, FreeDestination_MovesAndKeepsIdentity)
{
    held_dir from(t.from());
    held_dir to(t.to());

    EXPECT_TRUE(move_regular_checked(from.fd, "f", to.fd, "g", expected));
    EXPECT_FALSE(exists(t.from("f")));
    EXPECT_EQ(inode_of(t.to("g")), expected.st_ino);
}

TEST_F(MoveRegular, ExistingDestination_EexistNothingChanged)
{
    write_file(t.to("g"), "occupant");
    held_dir from(t.from());
    held_dir to(t.to());

    expect_call([&] { return move_regular_checked(from.fd, "f", to.fd, "g", expected); }, false, EEXIST);
    EXPECT_EQ(read_file(t.from("f")), "source");
    EXPECT_EQ(read_file(t.to("g")), "occupant");
}

// The source is no longer the observed file: false, errno as it was, nothing moved.
struct changed_source_case {
    const char* name;
    void (*change)(const two_dirs&);
};

class MoveRegular_SourceChanged : public testing::TestWithParam<changed_source_case> {};

TEST_P(MoveRegular_SourceChanged, RefusedWithErrnoUnchanged)
{
    two_dirs t;
    write_file(t.from("f"), "observed");
    struct stat expected = lstat_of(t.from("f"));
    GetParam().change(t);
    const ino_t now_there = inode_of(t.from("f"));
    held_dir from(t.from());
    held_dir to(t.to());

    errno = EDOM;
    EXPECT_FALSE(move_regular_checked(from.fd, "f", to.fd, "g", expected));
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(inode_of(t.from("f")), now_there);
    EXPECT_FALSE(exists(t.to("g")));
}

INSTANTIATE_TEST_SUITE_P(Changes, MoveRegular_SourceChanged,
                         testing::Values(changed_source_case{"ReplacedByAnotherFile",
                                                             [](const two_dirs& t) {
                                                                 write_file(t.from("new"), "observed");
                                                                 move_entry(t.from("new"), t.from("f"));
                                                             }},
                                         changed_source_case{"HardLinkedOnceMore",
                                                             [](const two_dirs& t) {
                                                                 make_link(t.from("f"), t.from("second"));
                                                             }},
                                         changed_source_case{"Chmodded",
                                                             [](const two_dirs& t) {
                                                                 ASSERT_EQ(::chmod(t.from("f").c_str(), 0600), 0);
                                                             }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MoveRegular, SourceMissingOrNotAFile_ReportsTheProbe)
{
    make_dir(t.from("d"));
    make_symlink("f", t.from("link"));
    held_dir from(t.from());
    held_dir to(t.to());

    expect_call([&] { return move_regular_checked(from.fd, "missing", to.fd, "g", expected); }, false, ENOENT);
    expect_call([&] { return move_regular_checked(from.fd, "d", to.fd, "g", expected); }, false, ESTALE);
    expect_call([&] { return move_regular_checked(from.fd, "link", to.fd, "g", expected); }, false, ESTALE);
    EXPECT_FALSE(exists(t.to("g")));
}

TEST_F(MoveRegular, OtherFileSystem_ReportsExdevNothingChanged)
{
    tmpfs_mount other(t.root.at("other"));
    if (!other.mounted())
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    held_dir from(t.from());
    held_dir to(other.path);

    expect_call([&] { return move_regular_checked(from.fd, "f", to.fd, "g", expected); }, false, EXDEV);
    EXPECT_TRUE(exists(t.from("f")));
    EXPECT_FALSE(exists(other.path + "/g"));
}

// move_regular_checked makes: statx (source), statx (destination absent),
// renameat2, then its post-checks. The source is from/f holding "source".
class MoveRegularRace : public testing::Test {
protected:
    MoveRegularRace() { write_file(t.from("f"), "source"); }
    two_dirs t;
};

TEST_F(MoveRegularRace, DestinationCreatedAfterAbsenceCheck_EexistNothingChanged)
{
    run_options options = paused_at("statx", 2, [&](const std::string&) { write_file(t.to("g"), "intruder"); });

    run_result r = run_move("move-regular", t, "f", "g", options);

    expect_driver(r, 0, EEXIST);
    EXPECT_EQ(read_file(t.from("f")), "source");
    EXPECT_EQ(read_file(t.to("g")), "intruder");
}

TEST_F(MoveRegularRace, OtherFileRenamedOntoDestination_MovedBackUnderSourceEstale)
{
    write_file(t.to("other"), "other");
    const ino_t other = inode_of(t.to("other"));
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { move_entry(t.to("other"), t.to("g")); });

    run_result r = run_move("move-regular", t, "f", "g", options);

    expect_driver(r, 0, ESTALE);
    EXPECT_EQ(inode_of(t.from("f")), other);
    EXPECT_FALSE(exists(t.to("g")));
}

TEST_F(MoveRegularRace, MovedFileTakenAwayAfterRename_EstaleNothingMovedBack)
{
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { move_entry(t.to("g"), t.root.at("aside")); });

    run_result r = run_move("move-regular", t, "f", "g", options);

    expect_driver(r, 0, ESTALE);
    EXPECT_EQ(read_file(t.root.at("aside")), "source");
    EXPECT_FALSE(exists(t.from("f")));
    EXPECT_FALSE(exists(t.to("g")));
}

TEST_F(MoveRegularRace, NewEntryAtSourceAfterRename_EstaleFileStaysAtDestination)
{
    const ino_t moved = inode_of(t.from("f"));
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { write_file(t.from("f"), "newcomer"); });

    run_result r = run_move("move-regular", t, "f", "g", options);

    expect_driver(r, 0, ESTALE);
    EXPECT_EQ(inode_of(t.to("g")), moved);
    EXPECT_EQ(read_file(t.to("g")), "source");
    EXPECT_EQ(read_file(t.from("f")), "newcomer");
}

// ----------------------------------------------------------------- swaps

// from/a holds "A" and to/b "B", with their statuses as observed.
class SwapRegular : public two_held_dirs_test {
protected:
    SwapRegular()
    {
        write_file(t.from("a"), "A");
        write_file(t.to("b"), "B");
        a = lstat_of(t.from("a"));
        b = lstat_of(t.to("b"));
    }
    struct stat a {};
    struct stat b {};
};

TEST_F(SwapRegular, BothAsObserved_Exchanged)
{
    EXPECT_TRUE(swap_regular_checked(from.fd, "a", to.fd, "b", a, b));
    EXPECT_EQ(read_file(t.from("a")), "B");
    EXPECT_EQ(read_file(t.to("b")), "A");
}

TEST_F(SwapRegular, OneEntryMissingOrChanged_NothingExchanged)
{
    expect_call([&] { return swap_regular_checked(from.fd, "a", to.fd, "missing", a, b); }, false, ENOENT);
    errno = EDOM;
    EXPECT_FALSE(swap_regular_checked(from.fd, "a", to.fd, "b", a, a));
    EXPECT_EQ(errno, EDOM);
    EXPECT_FALSE(swap_regular_checked(from.fd, "a", to.fd, "b", b, b));
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(read_file(t.from("a")), "A");
    EXPECT_EQ(read_file(t.to("b")), "B");
}

// Paused right after the exchange (from/a holds "B", to/b holds "A"), an
// adversary changes a name; the swap reports ESTALE and exchanges back only
// while both names still hold regular files.
struct swap_race {
    const char* name;
    void (*action)(const two_dirs&);
    const char* a_after; // nullptr: absent
    const char* b_after;
    const char* aside_after;
};

class SwapRegularRace : public testing::TestWithParam<swap_race> {};

TEST_P(SwapRegularRace, EstaleExchangedBackOnlyOverTwoFiles)
{
    two_dirs t;
    write_file(t.from("a"), "A");
    write_file(t.to("b"), "B");
    run_options options = paused_at("renameat2", 1, [&](const std::string&) { GetParam().action(t); });

    run_result r = run_driver(
        join({{"swap-regular", t.from(), "a", t.to(), "b"}, identity_args(t.from("a")), identity_args(t.to("b"))}),
        options);

    expect_driver(r, 0, ESTALE);
    const std::pair<std::string, const char*> names[] = {
        {t.from("a"), GetParam().a_after}, {t.to("b"), GetParam().b_after}, {t.root.at("aside"), GetParam().aside_after}};
    for (const auto& [path, content] : names) {
        if (content == nullptr)
            EXPECT_FALSE(exists(path)) << path;
        else
            EXPECT_EQ(read_file(path), content) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Adversaries, SwapRegularRace,
    testing::Values(
        swap_race{"SwappedBackBySomeoneElse_SwapsAgain",
                  [](const two_dirs& t) {
                      ASSERT_EQ(::renameat2(AT_FDCWD, t.from("a").c_str(), AT_FDCWD, t.to("b").c_str(), RENAME_EXCHANGE),
                                0);
                  },
                  "B", "A", nullptr},
        swap_race{"FirstTakenAway_NothingExchangedBack",
                  [](const two_dirs& t) { move_entry(t.from("a"), t.root.at("aside")); }, nullptr, "A", "B"},
        swap_race{"SecondTakenAway_NothingExchangedBack",
                  [](const two_dirs& t) { move_entry(t.to("b"), t.root.at("aside")); }, "B", nullptr, "A"},
        swap_race{"SecondReplaced_TheNewcomerExchangedBack",
                  [](const two_dirs& t) {
                      move_entry(t.to("b"), t.root.at("aside"));
                      write_file(t.to("b"), "newcomer");
                  },
                  "newcomer", "B", "A"}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- directory moves

using MoveDirectory = two_held_dirs_test;

TEST_F(MoveDirectory, NonEmptyDirectory_WholeSubtreeMoves)
{
    make_dir(t.from("d"));
    make_dir(t.from("d/sub"));
    write_file(t.from("d/sub/f"), "deep");
    struct stat expected = lstat_of(t.from("d"));

    EXPECT_TRUE(move_directory_checked(from.fd, "d", to.fd, "e", expected));
    EXPECT_FALSE(exists(t.from("d")));
    EXPECT_EQ(inode_of(t.to("e")), expected.st_ino);
    EXPECT_EQ(read_file(t.to("e/sub/f")), "deep");
}

TEST_F(MoveDirectory, RefusalsChangeNothing)
{
    make_dir(t.from("d"), 0755);
    make_dir(t.to("e"));
    struct stat expected = lstat_of(t.from("d"));

    expect_call([&] { return move_directory_checked(from.fd, "d", to.fd, "e", expected); }, false, EEXIST);
    ASSERT_EQ(::chmod(t.from("d").c_str(), 0700), 0);
    errno = EDOM;
    EXPECT_FALSE(move_directory_checked(from.fd, "d", to.fd, "free", expected));
    EXPECT_EQ(errno, EDOM);
    EXPECT_TRUE(exists(t.from("d")));
    EXPECT_FALSE(exists(t.to("free")));
}

// The first fsync flushes the source directory, the second the destination;
// a failed flush has the directory moved back, whose looks (statx 5 and 6 at
// the names, then the restore's own), rename (renameat2 2) and flushes
// (fsync 2 and 3) may fail or race in turn.
struct flush_case {
    const char* name;
    run_options (*options)(const two_dirs&);
    const char* ends_at;            // where the moved directory is afterwards, below the root
    const char* taken = nullptr;    // from/d or to/e when the adversary put a directory there
};

class MoveDirectoryRace_FlushFails : public testing::TestWithParam<flush_case> {};

TEST_P(MoveDirectoryRace_FlushFails, ReportsEioDirectoryWhereTheRestoreLeftIt)
{
    two_dirs t;
    make_dir(t.from("d"));
    write_file(t.from("d/inside"), "kept");
    const ino_t moved = inode_of(t.from("d"));

    run_result r = run_move("move-directory", t, "d", "e", GetParam().options(t));

    expect_driver(r, 0, EIO);
    EXPECT_EQ(inode_of(t.root.at(GetParam().ends_at)), moved);
    EXPECT_EQ(read_file(t.root.at(GetParam().ends_at) + "/inside"), "kept");
    for (const std::string name : {"from/d", "to/e"}) {
        if (name != GetParam().ends_at) {
            EXPECT_EQ(exists(t.root.at(name)), GetParam().taken != nullptr && name == GetParam().taken) << name;
        }
    }
}

// The source's flush fails, and `rule` or `action` after the n-th `function` call too.
run_options source_flush_failing_and(const std::string& rule)
{
    run_options options = failing_at("fsync", 1, "EIO");
    options.seam.rules += ";" + rule;
    return options;
}

run_options source_flush_failing_and_paused(const char* function, unsigned n, std::function<void()> action)
{
    run_options options = paused_at(function, n, [action](const std::string&) { action(); });
    options.seam.rules += ";" + fail_rule("fsync", 1, "EIO");
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Flushes, MoveDirectoryRace_FlushFails,
    testing::Values(
        flush_case{"Source", [](const two_dirs&) { return failing_at("fsync", 1, "EIO"); }, "from/d"},
        flush_case{"Destination", [](const two_dirs&) { return failing_at("fsync", 2, "EIO"); }, "from/d"},
        flush_case{"Source_RestoreRenameFails",
                   [](const two_dirs&) { return source_flush_failing_and(fail_rule("renameat2", 2, "EIO")); }, "to/e"},
        flush_case{"Source_RestoreFlushFails",
                   [](const two_dirs&) { return source_flush_failing_and(fail_rule("fsync", 2, "EIO")); }, "from/d"},
        flush_case{"Source_SourceRetakenBeforeRestore",
                   [](const two_dirs& t) {
                       return source_flush_failing_and_paused("statx", 5, [&t] { make_dir(t.from("d")); });
                   },
                   "to/e", "from/d"},
        flush_case{"Source_DestinationTakenAwayBeforeRestore",
                   [](const two_dirs& t) {
                       return source_flush_failing_and_paused("statx", 6,
                                                              [&t] { move_entry(t.to("e"), t.root.at("aside")); });
                   },
                   "aside"},
        flush_case{"Source_DestinationReplacedBeforeRestore",
                   [](const two_dirs& t) {
                       return source_flush_failing_and_paused("statx", 6, [&t] {
                           move_entry(t.to("e"), t.root.at("aside"));
                           make_dir(t.to("e"));
                       });
                   },
                   "aside", "to/e"},
        flush_case{"Source_RestoredDirectoryTakenAway",
                   [](const two_dirs& t) {
                       return source_flush_failing_and_paused("renameat2", 2,
                                                              [&t] { move_entry(t.from("d"), t.root.at("aside")); });
                   },
                   "aside"},
        flush_case{"Source_RestoredDirectoryReplaced",
                   [](const two_dirs& t) {
                       return source_flush_failing_and_paused("renameat2", 2, [&t] {
                           move_entry(t.from("d"), t.root.at("aside"));
                           make_dir(t.from("d"));
                       });
                   },
                   "aside", "from/d"},
        flush_case{"Source_DestinationRetakenDuringRestore",
                   [](const two_dirs& t) {
                       return source_flush_failing_and_paused("renameat2", 2, [&t] { make_dir(t.to("e")); });
                   },
                   "from/d", "to/e"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MoveDirectoryRace, OtherDirectoryAtDestinationAfterRename_EstaleAndItGoesToTheSource)
{
    two_dirs t;
    make_dir(t.from("d"));
    const ino_t original = inode_of(t.from("d"));
    ino_t substitute = 0;
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        move_entry(t.to("e"), t.root.at("aside"));
        make_dir(t.to("e"));
        substitute = inode_of(t.to("e"));
    });

    run_result r = run_move("move-directory", t, "d", "e", options);

    expect_driver(r, 0, ESTALE);
    EXPECT_EQ(inode_of(t.from("d")), substitute);
    EXPECT_FALSE(exists(t.to("e")));
    EXPECT_EQ(inode_of(t.root.at("aside")), original);
}

using RestoreMovedDirectory = two_held_dirs_test;

TEST_F(RestoreMovedDirectory, ReturnsOnlyWhileTheSourceIsFree)
{
    make_dir(t.to("e"));
    struct stat moved = lstat_of(t.to("e"));

    write_file(t.from("d"), "occupant");
    restore_moved_directory(from.fd, "d", to.fd, "e", moved);
    EXPECT_EQ(inode_of(t.to("e")), moved.st_ino);

    ASSERT_EQ(::unlink(t.from("d").c_str()), 0);
    restore_moved_directory(from.fd, "d", to.fd, "e", moved);
    EXPECT_EQ(inode_of(t.from("d")), moved.st_ino);
    EXPECT_FALSE(exists(t.to("e")));
}

// ------------------------------------------------ restore after content check

using RestoreRegularAfterFailedContentCheck = two_held_dirs_test;

TEST_F(RestoreRegularAfterFailedContentCheck, GoesBackInItsPresentState)
{
    write_file(t.to("g"), "whatever it holds now");
    const ino_t current = inode_of(t.to("g"));

    restore_regular_after_failed_content_check(to.fd, "g", from.fd, "f");

    EXPECT_EQ(inode_of(t.from("f")), current);
    EXPECT_FALSE(exists(t.to("g")));
}

TEST_F(RestoreRegularAfterFailedContentCheck, CurrentNameEmpty_NothingAppears)
{
    restore_regular_after_failed_content_check(to.fd, "g", from.fd, "f");

    EXPECT_FALSE(exists(t.from("f")));
    EXPECT_FALSE(exists(t.to("g")));
}

TEST_F(RestoreRegularAfterFailedContentCheck, ReturnNameOccupied_NothingMoves)
{
    write_file(t.to("g"), "moved");
    write_file(t.from("f"), "occupant");

    restore_regular_after_failed_content_check(to.fd, "g", from.fd, "f");

    EXPECT_EQ(read_file(t.to("g")), "moved");
    EXPECT_EQ(read_file(t.from("f")), "occupant");
}

// --------------------------------------------------- durable quarantine

using MoveToDurableQuarantine = file_to_move_test;

TEST_F(MoveToDurableQuarantine, SameDirectory_MovedUnderTheLeaf)
{
    held_dir dir(t.from());
    held_dir again(t.from());

    EXPECT_TRUE(move_to_durable_quarantine(dir.fd, "f", again.fd, quarantine_leaf.c_str(), expected));
    EXPECT_FALSE(exists(t.from("f")));
    EXPECT_EQ(inode_of(t.from(quarantine_leaf)), expected.st_ino);
}

TEST_F(MoveToDurableQuarantine, OtherDirectory_EstaleNothingMoved)
{
    held_dir from(t.from());
    held_dir to(t.to());

    expect_call([&] { return move_to_durable_quarantine(from.fd, "f", to.fd, quarantine_leaf.c_str(), expected); },
                false, ESTALE);
    EXPECT_TRUE(exists(t.from("f")));
    EXPECT_FALSE(exists(t.to(quarantine_leaf)));
}

class MoveToDurableQuarantine_BadLeaf : public testing::TestWithParam<std::string> {};

TEST_P(MoveToDurableQuarantine_BadLeaf, RefusedNothingMoved)
{
    two_dirs t;
    write_file(t.from("f"), "x");
    struct stat expected = lstat_of(t.from("f"));
    held_dir dir(t.from());

    EXPECT_FALSE(move_to_durable_quarantine(dir.fd, "f", dir.fd, GetParam().c_str(), expected));
    EXPECT_TRUE(exists(t.from("f")));
    EXPECT_FALSE(exists(t.from(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Leaves, MoveToDurableQuarantine_BadLeaf,
                         testing::Values(quarantine_prefix + "0123456789abcdef0123456789abcde",
                                         quarantine_prefix + "0123456789abcdef0123456789abcdef0",
                                         quarantine_prefix + "0123456789ABCDEF0123456789abcdef"),
                         [](const auto& info) {
                             return info.index == 0 ? "ThirtyOneDigits" : info.index == 1 ? "ThirtyThreeDigits"
                                                                                           : "UppercaseDigits";
                         });

} // namespace
