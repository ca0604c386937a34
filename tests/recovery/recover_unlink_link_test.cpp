// recover-unlink and recover-link: wherever the file (or its extra link) is
// found among the names, it is carried through staging and quarantine and
// deleted by content; states that fit no interrupted run are refused unchanged.

#include "recovery/recovery_scene.hpp"

#include <tuple>

namespace anchorfs::test::recovery {
namespace {

const std::string quarantine = "s/" + quarantine_leaf;

// ---------------------------------------------------------------- recover-unlink

// The unlink was of d/f ("content\n", one link) through s/staged and the
// quarantine name in s.
struct unlink_scene {
    scene s;
    std::vector<std::string> args;
    tree_snapshot original;

    explicit unlink_scene(runner who) : s(who), args(before_unlink(s)), original(s.tree()) {}
    tree_snapshot without_file() const
    {
        tree_snapshot gone = original;
        gone.erase("d/f");
        return gone;
    }
};

class RecoverUnlink : public testing::TestWithParam<std::tuple<runner, recover_state>> {};

TEST_P(RecoverUnlink, CompletesFromWhereverTheFileIsOrChangesNothing)
{
    const auto& [who, state] = GetParam();
    unlink_scene t(who);
    expect_recovered_from(t.s, state, "recover-unlink", t.args, t.without_file());
}

INSTANTIATE_TEST_SUITE_P(
    States, RecoverUnlink,
    testing::Combine(
        both_runners,
        testing::Values(
            recover_state{"AllNamesAbsent", [](const scene& s) { s.remove("d/f"); }, expected::unchanged},
            recover_state{"UnderSource", [](const scene&) {}, expected::settled},
            recover_state{"UnderStaging", [](const scene& s) { s.move("d/f", "s/staged"); }, expected::settled},
            recover_state{"UnderQuarantine", [](const scene& s) { s.move("d/f", quarantine); }, expected::settled},
            recover_state{"UnderStagingWithStrayFileInQuarantine",
                         [](const scene& s) {
                             s.move("d/f", "s/staged");
                             s.file(quarantine, "stray\n");
                         },
                         expected::refused},
            recover_state{"UnderStagingWithAnotherFileAtSource",
                         [](const scene& s) {
                             s.move("d/f", "s/staged");
                             s.file("d/f", "new file\n");
                         },
                         expected::refused},
            recover_state{"SourceHoldsACopy",
                         [](const scene& s) {
                             s.move("d/f", "d/original");
                             s.copy("d/original", "d/f");
                         },
                         expected::refused},
            recover_state{"SourceContentChangedSameSizeAndTime",
                         [](const scene& s) { s.rewrite("d/f", "CONTENT\n", true); }, expected::refused},
            recover_state{"SourceModifiedLater", [](const scene& s) { s.touch_later("d/f"); }, expected::refused},
            recover_state{"SourceHasAnUncountedLink", [](const scene& s) { s.link("d/f", "d/other"); },
                         expected::refused})),
    state_name);

TEST(RecoverUnlinkNames, FileUnderTwoNamesAtOnce_Refused)
{
    scene s(runner::privileged);
    s.dir("d");
    s.dir("s");
    s.file("d/f", "content\n");
    s.link("d/f", "s/staged");
    const std::vector<std::string> args =
        join({s.group("d", "f"), s.group("s", "staged"), s.group("s", quarantine_leaf), s.describe("d/f")});
    const tree_snapshot before = s.tree();
    EXPECT_TRUE(identity_changed(s.run("recover-unlink", args)));
    EXPECT_EQ(s.tree(), before);
}

// A malformed call is refused before any name is looked at, so the file
// under its source name is not moved to the staging name first.
struct malformed_quarantine {
    const char* name;
    const char* directory; // of the quarantine group
    const char* leaf;
};

void PrintTo(const malformed_quarantine& c, std::ostream* out) { *out << c.name; }

const malformed_quarantine malformed_quarantines[] = {
    {"UppercaseDigits", "s", ".vor-native-quarantine-0123456789ABCDEF0123456789abcdef"},
    {"ThirtyOneDigits", "s", ".vor-native-quarantine-0123456789abcdef0123456789abcde"},
    {"ThirtyThreeDigits", "s", ".vor-native-quarantine-0123456789abcdef0123456789abcdef0"},
    {"OtherPrefix", "s", ".vor-native-quarantinE-0123456789abcdef0123456789abcdef"},
    {"OtherDirectoryThanStaging", "d", ".vor-native-quarantine-0123456789abcdef0123456789abcdef"},
};

class RecoverUnlink_MalformedQuarantine : public testing::TestWithParam<malformed_quarantine> {};

TEST_P(RecoverUnlink_MalformedQuarantine, FileUnderSource_RefusedAndNothingMoves)
{
    unlink_scene t(runner::privileged);
    std::vector<std::string> args = t.args;
    const std::vector<std::string> group = t.s.group(GetParam().directory, GetParam().leaf);
    std::copy(group.begin(), group.end(), args.begin() + 12);
    EXPECT_TRUE(identity_changed(t.s.run("recover-unlink", args)));
    EXPECT_EQ(t.s.tree(), t.original);

    t.s.remove("d/f"); // all names absent: still refused
    const tree_snapshot emptied = t.s.tree();
    EXPECT_TRUE(identity_changed(t.s.run("recover-unlink", args)));
    EXPECT_EQ(t.s.tree(), emptied);
}

INSTANTIATE_TEST_SUITE_P(Quarantines, RecoverUnlink_MalformedQuarantine, testing::ValuesIn(malformed_quarantines),
                         [](const auto& info) { return std::string(info.param.name); });

// The flush of the three directories at the end fails: its error is
// reported, the file is gone and a rerun succeeds.
TEST(RecoverUnlinkNames, FinalFsyncFails_ReportsItsErrorWithTheFileGone)
{
    unlink_scene probe(runner::privileged);
    run_options traced;
    traced.trace = true;
    run_result learned = probe.s.run("recover-unlink", probe.args, traced);
    ASSERT_TRUE(succeeded(learned));
    int fsyncs = 0;
    for (const std::string& line : learned.trace)
        fsyncs += line.rfind("fsync ", 0) == 0;
    ASSERT_GE(fsyncs, 3);

    unlink_scene t(runner::privileged);
    run_options options;
    options.seam.rules = "fail:fsync:" + std::to_string(fsyncs) + ":EIO";
    EXPECT_TRUE(failed_with(t.s.run("recover-unlink", t.args, options), "FILESYSTEM_ERROR", EIO));
    EXPECT_EQ(t.s.tree(), t.without_file());
    EXPECT_TRUE(succeeded(t.s.run("recover-unlink", t.args)));
    EXPECT_EQ(t.s.tree(), t.without_file());
}

// Paused right after the move to the staging name, the staging directory is
// moved elsewhere in the root and a look-alike put at its path: the refresh
// refuses to go on. The file stays under the staging name, and a run whose
// groups name the directory's new place finishes the unlink.
TEST(RecoverUnlinkNames, StagingDirectoryMovedMidway_FailsThenCompletesAtItsNewPlace)
{
    unlink_scene t(runner::unprivileged);
    run_options options = paused_at("renameat2", 1, [&](const std::string&) {
        t.s.move("s", "moved");
        t.s.dir("s");
    });
    EXPECT_TRUE(identity_changed(t.s.run("recover-unlink", t.args, options)));
    EXPECT_FALSE(exists(t.s.at("d/f")));
    EXPECT_EQ(read_file(t.s.at("moved/staged")), "content\n");

    std::vector<std::string> args = t.args;
    args[6 + 4] = "moved";
    args[12 + 4] = "moved";
    EXPECT_TRUE(succeeded(t.s.run("recover-unlink", args)));
    EXPECT_FALSE(exists(t.s.at("moved/staged")));
    EXPECT_FALSE(exists(t.s.at("moved/" + quarantine_leaf)));
    EXPECT_FALSE(exists(t.s.at("d/f")));
}

// ---------------------------------------------------------------- recover-link

// The link was of d/f ("content\n", link count c = 1) to d/g, with s/staged
// and the quarantine name in s for taking it away.
struct link_scene {
    scene s;
    std::vector<std::string> args;
    tree_snapshot original;

    explicit link_scene(runner who) : s(who), args(before_link(s)), original(s.tree()) {}
};

class RecoverLink : public testing::TestWithParam<std::tuple<runner, recover_state>> {};

TEST_P(RecoverLink, TakesTheExtraLinkAwayOrChangesNothing)
{
    const auto& [who, state] = GetParam();
    link_scene t(who);
    expect_recovered_from(t.s, state, "recover-link", t.args, t.original);
}

INSTANTIATE_TEST_SUITE_P(
    States, RecoverLink,
    testing::Combine(
        both_runners,
        testing::Values(
            recover_state{"NeverLinked", [](const scene&) {}, expected::unchanged},
            recover_state{"Linked", [](const scene& s) { s.link("d/f", "d/g"); }, expected::settled},
            recover_state{"ExtraUnderStaging", [](const scene& s) { s.link("d/f", "s/staged"); }, expected::settled},
            recover_state{"ExtraUnderQuarantine", [](const scene& s) { s.link("d/f", quarantine); }, expected::settled},
            recover_state{"AllFourNamesAbsent", [](const scene& s) { s.move("d/f", "d/elsewhere"); },
                       expected::unchanged},
            recover_state{"NoExtraButSourceHasAnotherLink", [](const scene& s) { s.link("d/f", "d/elsewhere"); },
                       expected::refused},
            recover_state{"LinkedWithAThirdLinkElsewhere",
                       [](const scene& s) {
                           s.link("d/f", "d/g");
                           s.link("d/f", "d/elsewhere");
                       },
                       expected::refused},
            recover_state{"ExtraUnderDestinationAndStaging",
                       [](const scene& s) {
                           s.link("d/f", "d/g");
                           s.link("d/f", "s/staged");
                       },
                       expected::refused},
            recover_state{"DestinationHoldsACopy", [](const scene& s) { s.copy("d/f", "d/g"); }, expected::refused},
            recover_state{"LinkedAndContentChangedSameSizeAndTime",
                       [](const scene& s) {
                           s.link("d/f", "d/g");
                           s.rewrite("d/f", "CONTENT\n", true);
                       },
                       expected::refused},
            recover_state{"DestinationHoldsAnotherFile", [](const scene& s) { s.file("d/g", "other\n"); },
                       expected::refused},
            // The source name is gone and the extra name is the file's only
            // name left: taking it away would delete the file.
            recover_state{"SourceGoneDestinationIsLastName", [](const scene& s) { s.move("d/f", "d/g"); },
                       expected::refused},
            recover_state{"SourceGoneStagingIsLastName", [](const scene& s) { s.move("d/f", "s/staged"); },
                       expected::refused},
            recover_state{"SourceGoneQuarantineIsLastName", [](const scene& s) { s.move("d/f", quarantine); },
                       expected::refused})),
    state_name);

// With c = 2 the extra link is not the file's last name once the source is
// gone: it is taken away, and the file keeps its other name.
TEST(RecoverLinkCounts, SourceGoneExtraNotTheLastName_ExtraTakenAway)
{
    scene s(runner::privileged);
    s.dir("d");
    s.dir("s");
    s.file("d/f", "content\n");
    s.link("d/f", "d/keep");
    const std::vector<std::string> args = join({s.group("d", "f"), s.group("d", "g"), s.group("s", "staged"),
                                                s.group("s", quarantine_leaf), s.describe("d/f")});
    const ino_t inode = lstat_of(s.at("d/f")).st_ino;
    s.link("d/f", "d/g");
    s.remove("d/f");
    ASSERT_EQ(lstat_of(s.at("d/g")).st_nlink, 2u);

    EXPECT_TRUE(succeeded(s.run("recover-link", args)));
    EXPECT_FALSE(exists(s.at("d/g")));
    EXPECT_FALSE(exists(s.at("d/f")));
    EXPECT_EQ(lstat_of(s.at("d/keep")).st_ino, inode);
    EXPECT_EQ(lstat_of(s.at("d/keep")).st_nlink, 1u);
    const tree_snapshot settled = s.tree();
    EXPECT_TRUE(succeeded(s.run("recover-link", args)));
    EXPECT_EQ(s.tree(), settled);
}

// A call whose destination group names the source entry itself, with an
// understated link count, would otherwise take the source's own name away.
TEST(RecoverLinkNames, DestinationIsTheSourceEntry_RefusedUnchanged)
{
    scene s(runner::privileged);
    s.dir("d");
    s.dir("s");
    s.file("d/f", "content\n");
    s.link("d/f", "d/keep");
    std::vector<std::string> description = s.describe("d/f");
    description[2] = "1";
    const std::vector<std::string> args = join({s.group("d", "f"), s.group("d", "f"), s.group("s", "staged"),
                                                s.group("s", quarantine_leaf), description});
    const tree_snapshot before = s.tree();

    EXPECT_TRUE(identity_changed(s.run("recover-link", args)));
    EXPECT_EQ(s.tree(), before);
}

struct refused_call {
    const char* name;
    void (*change)(std::vector<std::string>& args, const scene& s);
};

void PrintTo(const refused_call& c, std::ostream* out) { *out << c.name; }

class RecoverLink_Refused : public testing::TestWithParam<refused_call> {};

// The link had happened, so an accepted call would take it away.
TEST_P(RecoverLink_Refused, LinkedState_RefusedAndNothingChanges)
{
    link_scene t(runner::privileged);
    t.s.link("d/f", "d/g");
    const tree_snapshot linked = t.s.tree();
    std::vector<std::string> args = t.args;
    GetParam().change(args, t.s);
    EXPECT_TRUE(identity_changed(t.s.run("recover-link", args)));
    EXPECT_EQ(t.s.tree(), linked);
}

constexpr std::size_t link_count_slot = 24 + 2; // of the description, from slot 6 on

INSTANTIATE_TEST_SUITE_P(
    Calls, RecoverLink_Refused,
    testing::Values(
        refused_call{"LinkCountZero", [](std::vector<std::string>& args, const scene&) { args[link_count_slot] = "0"; }},
        refused_call{"LinkCountLargest",
                     [](std::vector<std::string>& args, const scene&) {
                         args[link_count_slot] = "18446744073709551615";
                     }},
        refused_call{"LinkCountAfterTheLink",
                     [](std::vector<std::string>& args, const scene&) { args[link_count_slot] = "2"; }},
        refused_call{"QuarantineLeafUppercase",
                     [](std::vector<std::string>& args, const scene&) {
                         args[18 + 5] = ".vor-native-quarantine-0123456789ABCDEF0123456789abcdef";
                     }},
        refused_call{"QuarantineInOtherDirectoryThanStaging",
                     [](std::vector<std::string>& args, const scene& s) {
                         const std::vector<std::string> group = s.group("d", quarantine_leaf);
                         std::copy(group.begin(), group.end(), args.begin() + 18);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace anchorfs::test::recovery
