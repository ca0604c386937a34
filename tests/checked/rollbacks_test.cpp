// Rollbacks: each undoes its mutation only while the names still show the
// state the mutation produced, and otherwise changes nothing.

#include "checked/rollbacks.hpp"
#include "checked_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// ------------------------------------------------------------- renames

using RollbackRenamed = held_root_test;

TEST_F(RollbackRenamed, FileAtDestinationAndSourceFree_MovedBackIdentityUnchanged)
{
    write_file(root.at("dst"), "moved");
    struct stat moved = lstat_of(root.at("dst"));

    EXPECT_TRUE(rollback_renamed_entry(dir.fd, "src", dir.fd, "dst"));
    struct stat back = lstat_of(root.at("src"));
    EXPECT_EQ(back.st_ino, moved.st_ino);
    EXPECT_EQ(back.st_mode, moved.st_mode);
    EXPECT_EQ(back.st_nlink, moved.st_nlink);
    EXPECT_FALSE(exists(root.at("dst")));
}

TEST_F(RollbackRenamed, SourceReused_FalseFileStaysAtDestination)
{
    write_file(root.at("dst"), "moved");
    write_file(root.at("src"), "newcomer");

    EXPECT_FALSE(rollback_renamed_entry(dir.fd, "src", dir.fd, "dst"));
    EXPECT_EQ(read_file(root.at("dst")), "moved");
    EXPECT_EQ(read_file(root.at("src")), "newcomer");
}

TEST_F(RollbackRenamed, DestinationNoLongerARegularFile_FalseNothingMoves)
{
    make_dir(root.at("dst"));

    EXPECT_FALSE(rollback_renamed_entry(dir.fd, "src", dir.fd, "dst"));
    EXPECT_FALSE(exists(root.at("src")));
    EXPECT_TRUE(exists(root.at("dst")));
}

// ------------------------------------------------------------------ swaps

using RollbackSwapped = held_root_test;

TEST_F(RollbackSwapped, BothPresent_SwappedBack)
{
    write_file(root.at("a"), "was b");
    write_file(root.at("b"), "was a");

    EXPECT_TRUE(rollback_swapped_entries(dir.fd, "a", dir.fd, "b"));
    EXPECT_EQ(read_file(root.at("a")), "was a");
    EXPECT_EQ(read_file(root.at("b")), "was b");
}

TEST_F(RollbackSwapped, OneNameDeleted_FalseWithoutSwapping)
{
    write_file(root.at("a"), "only");

    EXPECT_FALSE(rollback_swapped_entries(dir.fd, "a", dir.fd, "b"));
    EXPECT_EQ(read_file(root.at("a")), "only");
    EXPECT_FALSE(exists(root.at("b")));
}

// ------------------------------------------------------------------ links

// A source file with one extra link at "dst", as link-excl leaves it, and the
// description of the file as it was before the link (link count 1).
struct linked_tree {
    temp_root root;
    file_description before;
    linked_tree()
    {
        make_dir(root.at("staging"));
        write_file(root.at("src"), "linked content");
        before = describe(root.at("src"));
        make_link(root.at("src"), root.at("dst"));
    }
};

TEST(RollbackLinked, ExtraLinkPresent_RemovedSourceKept)
{
    linked_tree t;
    held_dir dir(t.root.path);
    held_dir staging(t.root.at("staging"));
    held_dir quarantine(t.root.at("staging"));

    EXPECT_TRUE(rollback_linked_entry(dir.fd, "src", dir.fd, "dst", staging.fd, "staged", quarantine.fd,
                                      quarantine_leaf.c_str(), t.before.get()));
    EXPECT_FALSE(exists(t.root.at("dst")));
    EXPECT_FALSE(exists(t.root.at("staging/staged")));
    EXPECT_FALSE(exists(t.root.at("staging/" + quarantine_leaf)));
    struct stat source = lstat_of(t.root.at("src"));
    EXPECT_EQ(source.st_ino, t.before.identity.inode);
    EXPECT_EQ(source.st_nlink, 1u);
}

TEST(RollbackLinked, DestinationNamesAnotherFile_FalseNothingMovedOrDeleted)
{
    linked_tree t;
    ASSERT_EQ(::unlink(t.root.at("dst").c_str()), 0);
    write_file(t.root.at("dst"), "linked content");
    held_dir dir(t.root.path);
    held_dir staging(t.root.at("staging"));

    EXPECT_FALSE(rollback_linked_entry(dir.fd, "src", dir.fd, "dst", staging.fd, "staged", staging.fd,
                                       quarantine_leaf.c_str(), t.before.get()));
    EXPECT_TRUE(exists(t.root.at("dst")));
    EXPECT_TRUE(exists(t.root.at("src")));
    EXPECT_FALSE(exists(t.root.at("staging/staged")));
}

TEST(RollbackLinked, DestinationGone_FalseSourceKept)
{
    linked_tree t;
    ASSERT_EQ(::unlink(t.root.at("dst").c_str()), 0);
    held_dir dir(t.root.path);
    held_dir staging(t.root.at("staging"));

    EXPECT_FALSE(rollback_linked_entry(dir.fd, "src", dir.fd, "dst", staging.fd, "staged", staging.fd,
                                       quarantine_leaf.c_str(), t.before.get()));
    EXPECT_EQ(read_file(t.root.at("src")), "linked content");
    EXPECT_FALSE(exists(t.root.at("staging/staged")));
}

TEST(RollbackLinked, ContentChangedAfterTheLink_FalseExtraLinkLeftUnderStagingName)
{
    linked_tree t;
    write_file(t.root.at("dst"), "changed content");
    held_dir dir(t.root.path);
    held_dir staging(t.root.at("staging"));

    EXPECT_FALSE(rollback_linked_entry(dir.fd, "src", dir.fd, "dst", staging.fd, "staged", staging.fd,
                                       quarantine_leaf.c_str(), t.before.get()));
    EXPECT_EQ(read_file(t.root.at("staging/staged")), "changed content");
    EXPECT_EQ(lstat_of(t.root.at("src")).st_nlink, 2u);
    EXPECT_FALSE(exists(t.root.at("dst")));
    EXPECT_FALSE(exists(t.root.at("staging/" + quarantine_leaf)));
}

// ------------------------------------------------ across file systems

// An undo whose move fails (here EXDEV: the two directories are on different
// file systems) reports false and leaves every name as it found it.
enum class undone { renamed, swapped, linked };

class RollbackMoveFails : public testing::TestWithParam<undone> {};

TEST_P(RollbackMoveFails, FalseEveryNameAsFound)
{
    temp_root root;
    make_dir(root.at("other"));
    tmpfs_mount mount(root.at("other"));
    if (!mount.mounted())
        GTEST_SKIP() << "mounting a tmpfs is refused here";
    write_file(root.at("a"), "in root");
    write_file(root.at("other/b"), "on tmpfs");
    if (GetParam() == undone::linked)
        make_link(root.at("a"), root.at("a-link"));
    const file_description before = describe(root.at("a"));
    held_dir here(root.path);
    held_dir there(mount.path);

    bool undid = true;
    switch (GetParam()) {
    case undone::renamed: // "a" back to the free name "c" on the tmpfs
        undid = rollback_renamed_entry(there.fd, "c", here.fd, "a");
        break;
    case undone::swapped:
        undid = rollback_swapped_entries(here.fd, "a", there.fd, "b");
        break;
    case undone::linked: // the extra link "a-link" staged on the tmpfs
        undid = rollback_linked_entry(here.fd, "a", here.fd, "a-link", there.fd, "staged", there.fd,
                                      quarantine_leaf.c_str(), before.get());
        break;
    }
    EXPECT_FALSE(undid);
    EXPECT_EQ(read_file(root.at("a")), "in root");
    EXPECT_EQ(read_file(root.at("other/b")), "on tmpfs");
    EXPECT_FALSE(exists(root.at("other/c")));
    EXPECT_FALSE(exists(root.at("other/staged")));
    EXPECT_EQ(exists(root.at("a-link")), GetParam() == undone::linked);
}

INSTANTIATE_TEST_SUITE_P(Undos, RollbackMoveFails,
                         testing::Values(undone::renamed, undone::swapped, undone::linked),
                         [](const auto& info) {
                             return std::string(info.param == undone::renamed  ? "Renamed"
                                                : info.param == undone::swapped ? "Swapped"
                                                                                : "Linked");
                         });

// ---------------------------------------------------------------- creations

using RollbackCreated = held_root_test;

TEST_F(RollbackCreated, CreatedFileStillUnderName_Deleted)
{
    int created = ::open(root.at("new").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(created, 0);

    EXPECT_TRUE(rollback_created_file(dir.fd, "new", created));
    EXPECT_FALSE(exists(root.at("new")));
    ::close(created);
}

TEST_F(RollbackCreated, DescriptorNotOfARegularFile_FalseNameKept)
{
    write_file(root.at("new"), "");
    int created = ::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(created, 0);

    EXPECT_FALSE(rollback_created_file(dir.fd, "new", created));
    EXPECT_TRUE(exists(root.at("new")));
    ::close(created);
}

struct created_case {
    const char* name;
    void (*change)(const temp_root&);
};

class RollbackCreated_NoLongerAsCreated : public testing::TestWithParam<created_case> {};

TEST_P(RollbackCreated_NoLongerAsCreated, FalseAndDeletesNothing)
{
    temp_root root;
    int created = ::open(root.at("new").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(created, 0);
    GetParam().change(root);
    const ino_t there = inode_of(root.at("new"));
    held_dir dir(root.path);

    EXPECT_FALSE(rollback_created_file(dir.fd, "new", created));
    EXPECT_EQ(inode_of(root.at("new")), there);
    ::close(created);
}

INSTANTIATE_TEST_SUITE_P(Changes, RollbackCreated_NoLongerAsCreated,
                         testing::Values(created_case{"SecondHardLink",
                                                      [](const temp_root& r) {
                                                          make_link(r.at("new"), r.at("second"));
                                                      }},
                                         created_case{"ReplacedByAnotherFile",
                                                      [](const temp_root& r) {
                                                          write_file(r.at("other"), "");
                                                          move_entry(r.at("other"), r.at("new"));
                                                      }}),
                         [](const auto& info) { return std::string(info.param.name); });

// --------------------------------------------- races inside the undo

// The undo itself raced or failing (the driver under the seam). The scene:
// "a" and "b" in the root, and for the link undo "src" with its extra link
// "dst" and a staging directory "st"; each row says which undo, when the
// adversary acts or which call fails, and the verdict and names afterwards.
// An undo that reports success must have left the names as it claims.
enum class undo { renamed, swapped, linked, created };

struct undo_race {
    const char* name;
    undo which;
    run_options (*options)(const temp_root&);
    int error; // the verdict is always false
    std::vector<std::pair<std::string, const char*>> after; // name -> content, nullptr: absent
};

class RollbackRace : public testing::TestWithParam<undo_race> {};

TEST_P(RollbackRace, FalseNamesAsTheRaceLeftThem)
{
    const undo_race& c = GetParam();
    temp_root root;
    std::vector<std::string> args;
    switch (c.which) {
    case undo::renamed: // "b" goes back to the free name "a"
        write_file(root.at("b"), "moved");
        args = {"rollback-renamed", root.path, "a", root.path, "b"};
        break;
    case undo::swapped:
        write_file(root.at("a"), "was b");
        write_file(root.at("b"), "was a");
        args = {"rollback-swapped", root.path, "a", root.path, "b"};
        break;
    case undo::linked: {
        make_dir(root.at("st"));
        write_file(root.at("src"), "linked content");
        const file_description before = describe(root.at("src"));
        make_link(root.at("src"), root.at("dst"));
        args = join({{"rollback-linked", root.path, "src", root.path, "dst", root.at("st"), "staged", root.at("st"),
                      quarantine_leaf},
                     before.args()});
        break;
    }
    case undo::created:
        write_file(root.at("a"), "created");
        args = {"rollback-created", root.path, "a"};
        break;
    }

    run_result r = run_driver(args, c.options(root));

    expect_driver(r, 0, c.error);
    for (const auto& [name, content] : c.after) {
        if (content == nullptr)
            EXPECT_FALSE(exists(root.at(name))) << name;
        else
            EXPECT_EQ(read_file(root.at(name)), content) << name;
    }
}

// Renamed: statx 1-2 look, 3-6 are the checked move's, 7-8 its own re-check.
// Swapped alike. Linked: statx 1-6 as renamed, 7-8 the staged re-check, then
// the delete, whose three flushes come before the undo's own two.
const undo_race undo_races[] = {
    {"Renamed_MovedFileTakenAwayAfterMove", undo::renamed,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) { move_entry(r.at("a"), r.at("parked")); });
     },
     ENOENT, {{"a", nullptr}, {"b", nullptr}, {"parked", "moved"}}},
    {"Renamed_SourceReplacedAfterMove", undo::renamed,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) {
             write_file(r.at("other"), "other");
             move_entry(r.at("other"), r.at("a"));
         });
     },
     ENOENT, {{"a", "other"}, {"b", nullptr}}},
    {"Renamed_DestinationRetakenAfterMove", undo::renamed,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) { write_file(r.at("b"), "newcomer"); });
     },
     EEXIST, {{"a", "moved"}, {"b", "newcomer"}}},
    {"Renamed_FirstFlushFails", undo::renamed, [](const temp_root&) { return failing_at("fsync", 1, "EIO"); }, EIO,
     {{"a", "moved"}, {"b", nullptr}}},
    {"Renamed_SecondFlushFails", undo::renamed, [](const temp_root&) { return failing_at("fsync", 2, "EIO"); }, EIO,
     {{"a", "moved"}, {"b", nullptr}}},
    {"Swapped_FirstTakenAwayAfterSwap", undo::swapped,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) { move_entry(r.at("a"), r.at("parked")); });
     },
     ENOENT, {{"a", nullptr}, {"parked", "was a"}, {"b", "was b"}}},
    {"Swapped_SecondTakenAwayAfterSwap", undo::swapped,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) { move_entry(r.at("b"), r.at("parked")); });
     },
     ENOENT, {{"a", "was a"}, {"b", nullptr}, {"parked", "was b"}}},
    {"Swapped_SwappedBackByAnotherProcess", undo::swapped,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) {
             ASSERT_EQ(::renameat2(AT_FDCWD, r.at("a").c_str(), AT_FDCWD, r.at("b").c_str(), RENAME_EXCHANGE), 0);
         });
     },
     0, {{"a", "was b"}, {"b", "was a"}}},
    {"Swapped_SecondReplacedAfterSwap", undo::swapped,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) {
             write_file(r.at("other"), "other");
             move_entry(r.at("other"), r.at("b"));
         });
     },
     0, {{"a", "was a"}, {"b", "other"}}},
    {"Swapped_FirstNameUnreadable", undo::swapped, [](const temp_root&) { return failing_at("statx", 1, "EIO"); },
     EIO, {{"a", "was b"}, {"b", "was a"}}},
    {"Swapped_FirstFlushFails", undo::swapped, [](const temp_root&) { return failing_at("fsync", 1, "EIO"); }, EIO,
     {{"a", "was a"}, {"b", "was b"}}},
    {"Swapped_SecondFlushFails", undo::swapped, [](const temp_root&) { return failing_at("fsync", 2, "EIO"); }, EIO,
     {{"a", "was a"}, {"b", "was b"}}},
    {"Linked_SourceUnreadable", undo::linked, [](const temp_root&) { return failing_at("statx", 1, "EIO"); }, EIO,
     {{"dst", "linked content"}, {"st/staged", nullptr}, {"src", "linked content"}}},
    {"Linked_StagedTakenAwayAfterMove", undo::linked,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) { move_entry(r.at("st/staged"), r.at("parked")); });
     },
     ENOENT, {{"dst", nullptr}, {"st/staged", nullptr}, {"parked", "linked content"}, {"src", "linked content"}}},
    {"Linked_StagedReplacedAfterMove", undo::linked,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) {
             write_file(r.at("other"), "other");
             move_entry(r.at("other"), r.at("st/staged"));
         });
     },
     ENOENT, {{"dst", nullptr}, {"st/staged", "other"}, {"src", "linked content"}}},
    {"Linked_DestinationRetakenAfterMove", undo::linked,
     [](const temp_root& r) {
         return paused_at("statx", 6, [&r](const std::string&) { write_file(r.at("dst"), "newcomer"); });
     },
     EEXIST, {{"dst", "newcomer"}, {"st/staged", "linked content"}, {"src", "linked content"}}},
    {"Linked_DestinationFlushFails", undo::linked, [](const temp_root&) { return failing_at("fsync", 4, "EIO"); },
     EIO, {{"dst", nullptr}, {"st/staged", nullptr}, {"src", "linked content"}}},
    {"Linked_StagingFlushFails", undo::linked, [](const temp_root&) { return failing_at("fsync", 5, "EIO"); }, EIO,
     {{"dst", nullptr}, {"st/staged", nullptr}, {"src", "linked content"}}},
    // Created: fstat 1 is its look at the descriptor, statx 1 at the name,
    // before the delete binds it.
    {"Created_DescriptorUnreadable", undo::created, [](const temp_root&) { return failing_at("fstat", 1, "EIO"); },
     EIO, {{"a", "created"}}},
    {"Created_ReplacedBeforeDelete", undo::created,
     [](const temp_root& r) {
         return paused_at("statx", 1, [&r](const std::string&) {
             write_file(r.at("other"), "other");
             move_entry(r.at("other"), r.at("a"));
         });
     },
     ESTALE, {{"a", "other"}}},
    {"Created_NameRetakenAfterDelete", undo::created,
     [](const temp_root& r) {
         return paused_at("fsync", 1, [&r](const std::string&) { write_file(r.at("a"), "newcomer"); });
     },
     EEXIST, {{"a", "newcomer"}}},
};

INSTANTIATE_TEST_SUITE_P(Undos, RollbackRace, testing::ValuesIn(undo_races),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
