// Opening bookmarked_parent groups: a directory moved after its bookmark was
// made, the search by inode and its budget, identities that do not match,
// malformed slots, and the preparation that all four recover commands share.

#include "recovery/recovery_scene.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <thread>

namespace anchorfs::test::recovery {
namespace {

bool traced(const run_result& r, const std::string& prefix)
{
    return std::any_of(r.trace.begin(), r.trace.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

bool handle_opened(const run_result& r)
{
    return std::any_of(r.trace.begin(), r.trace.end(), [](const std::string& line) {
        return line.rfind("open_by_handle_at ", 0) == 0 && line.rfind("open_by_handle_at -1", 0) != 0;
    });
}

// ---------------------------------------------------------------- moved directories

class MovedDirectory : public testing::TestWithParam<runner> {};

// Privileged, the file handle leads to the new place; unprivileged, the
// recorded path is gone and the search by inode below the root finds it.
TEST_P(MovedDirectory, GroupNamingTheNewPlaceOpens_OldPlaceOrLookAlikeFails)
{
    scene s(GetParam());
    s.dir("d");
    s.dir("d/sub");
    s.dir("e");
    s.file("d/sub/f", "content\n");
    const bookmark_line sub = s.bookmark("d/sub/f");
    const std::vector<std::string> file = s.describe("d/sub/f");
    const std::vector<std::string> destination = s.group(".", "free");
    s.move("d/sub", "e/moved");
    auto recover_in = [&](const std::string& directory, run_options options = {}) {
        return s.run("recover-rename",
                     join({{sub.hex, sub.device, sub.inode, sub.uid, directory, "f"}, destination, file}), options);
    };
    const tree_snapshot before = s.tree();

    run_options traced_run;
    traced_run.trace = true;
    run_result found = recover_in("e/moved", traced_run);
    EXPECT_TRUE(succeeded(found));
    if (GetParam() == runner::privileged) {
        EXPECT_TRUE(handle_opened(found));
        EXPECT_FALSE(traced(found, "fdopendir ")) << "searched although the handle opened";
    } else {
        EXPECT_TRUE(traced(found, "open_by_handle_at -1 1")) << "an unprivileged handle open must be refused (EPERM)";
        EXPECT_TRUE(traced(found, "fdopendir "));
        // Short of descriptors inside the search, the group is not taken
        // for one whose directory is gone: the shortage is the answer.
        for (const char* error : {"EMFILE", "ENFILE"}) {
            SCOPED_TRACE(error);
            run_result short_of_descriptors = recover_in("e/moved", failing_at("fdopendir", 1, error));
            EXPECT_TRUE(failed_with(short_of_descriptors, "FILESYSTEM_ERROR",
                                    std::string(error) == "EMFILE" ? EMFILE : ENFILE));
            EXPECT_EQ(short_of_descriptors.leaked_fds, std::vector<int>{});
        }
    }
    EXPECT_TRUE(identity_changed(recover_in("d/sub")));
    EXPECT_EQ(s.tree(), before);

    s.dir("d/sub"); // a look-alike at the old place
    const tree_snapshot with_look_alike = s.tree();
    EXPECT_TRUE(identity_changed(recover_in("d/sub")));
    EXPECT_TRUE(succeeded(recover_in("e/moved")));
    EXPECT_EQ(s.tree(), with_look_alike);
}

INSTANTIATE_TEST_SUITE_P(Runners, MovedDirectory, both_runners, runner_name);

// ---------------------------------------------------------------- the road by the recorded path

// Watches directories outside the root for any object opened in them or
// through them.
struct open_watch {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    explicit open_watch(const std::vector<std::string>& directories)
    {
        for (const std::string& directory : directories)
            EXPECT_GE(::inotify_add_watch(fd, directory.c_str(), IN_OPEN), 0) << directory;
    }
    ~open_watch() { ::close(fd); }
    open_watch(const open_watch&) = delete;
    open_watch& operator=(const open_watch&) = delete;
    int opened() const
    {
        alignas(inotify_event) char buffer[4096];
        int events = 0;
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                events += (event->mask & IN_OPEN) != 0 ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return events;
    }
};

// The bookmark text with another absolute path recorded in it.
std::string with_recorded_path(const std::string& hex, const std::string& path)
{
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    std::size_t at = 32;
    for (int i = 0; i < 4; ++i)
        at += static_cast<std::size_t>(bytes[28 + static_cast<std::size_t>(i)]) << (8 * i);
    bytes.resize(at);
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<unsigned char>(path.size() >> (8 * i)));
    bytes.insert(bytes.end(), path.begin(), path.end());
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

// Unprivileged, a bookmark is resolved by its recorded path. Only the part
// of that path below the root's own path is walked, from the root's
// descriptor, one name at a time: a symbolic link put on the way is not
// followed, and a path outside the root is not walked at all. In every case
// the directory (d/sub, or e/sub where it moved) is still found by the search
// by inode, and nothing outside the root is opened.
struct recorded_path_case {
    const char* name;
    // Changes the tree after the bookmark of d/sub was taken; returns the
    // bookmark text to pass and the group's directory path.
    std::pair<std::string, std::string> (*change)(const scene& s, const std::string& hex, const std::string& bait);
};

void PrintTo(const recorded_path_case& c, std::ostream* out) { *out << c.name; }

// d/sub holding the file f, and e, where d/sub may be moved.
void make_moved_directory_tree(scene& s)
{
    s.dir("d");
    s.dir("d/sub");
    s.dir("e");
    s.file("d/sub/f", "content\n");
}

class RecordedPathRoad : public testing::TestWithParam<recorded_path_case> {};

TEST_P(RecordedPathRoad, Unprivileged_FoundWithoutOpeningAnythingOutside)
{
    scene s(runner::unprivileged);
    make_moved_directory_tree(s);
    const std::string bait = s.root.beside("bait");
    make_dir(bait);
    make_dir(bait + "/sub");
    write_file(bait + "/sub/f", "content\n");
    const bookmark_line sub = s.bookmark("d/sub/f");
    const std::vector<std::string> file = s.describe("d/sub/f");
    const std::vector<std::string> destination = s.group(".", "free");
    const auto [hex, directory] = GetParam().change(s, sub.hex, bait);
    const tree_snapshot before = s.tree();

    open_watch watch({bait, bait + "/sub"});
    run_result r = s.run("recover-rename",
                         join({{hex, sub.device, sub.inode, sub.uid, directory, "f"}, destination, file}));
    EXPECT_TRUE(succeeded(r));
    EXPECT_EQ(watch.opened(), 0) << "an object outside the root was opened";
    EXPECT_EQ(s.tree(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RecordedPathRoad,
    testing::Values(
        recorded_path_case{"DirectoryOnThePathReplacedByLinkOutside",
                           [](const scene& s, const std::string& hex, const std::string& bait) {
                               s.move("d/sub", "e/sub");
                               EXPECT_EQ(::rmdir(s.at("d").c_str()), 0);
                               EXPECT_EQ(::symlink(bait.c_str(), s.at("d").c_str()), 0);
                               return std::pair<std::string, std::string>{hex, "e/sub"};
                           }},
        recorded_path_case{"RecordedPathOutsideTheRoot",
                           [](const scene&, const std::string& hex, const std::string& bait) {
                               return std::pair<std::string, std::string>{with_recorded_path(hex, bait + "/sub"),
                                                                          "d/sub"};
                           }},
        recorded_path_case{"RecordedPathSharingTheRootsSpelling",
                           [](const scene& s, const std::string& hex, const std::string& bait) {
                               // "<root>-bait/sub": the root's path is a prefix of its spelling only.
                               const std::string look_alike = s.root.path + "-bait";
                               EXPECT_EQ(::symlink(bait.c_str(), look_alike.c_str()), 0);
                               return std::pair<std::string, std::string>{
                                   with_recorded_path(hex, look_alike + "/sub"), "d/sub"};
                           }}),
    [](const auto& info) { return std::string(info.param.name); });

// A FUSE file system that never answers, mounted for the length of a test: any
// lookup in it waits for a daemon that does not exist, in a sleep no signal
// ends. Closing the device aborts the connection, which wakes such a waiter.
struct unanswering_fuse {
    std::string at;
    int device = -1;
    bool mounted = false;
    explicit unanswering_fuse(std::string where) : at(std::move(where))
    {
        device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (device < 0)
            return;
        make_dir(at);
        const std::string options = "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0,allow_other";
        mounted = ::mount("anchorfs-test", at.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    ~unanswering_fuse() { abort_connection(); }
    unanswering_fuse(const unanswering_fuse&) = delete;
    unanswering_fuse& operator=(const unanswering_fuse&) = delete;
    void abort_connection()
    {
        if (device >= 0)
            ::close(device);
        device = -1;
        if (mounted)
            ::umount2(at.c_str(), MNT_DETACH);
        mounted = false;
    }
};

// The link on the recorded path leads into a mount that never answers. A walk
// by the kernel would follow it and sleep there; the walk from the root's
// descriptor stops at the link, and the directory is found by the search.
// Should the run reach the mount anyway, the connection is aborted after a
// while so that the failure is reported instead of hanging the suite.
TEST(RecordedPathRoad, Unprivileged_LinkIntoAnUnansweringMount_NeverBlocks)
{
    scene s(runner::unprivileged);
    make_moved_directory_tree(s);
    unanswering_fuse fuse(s.root.beside("fuse"));
    if (!fuse.mounted)
        GTEST_SKIP() << "a FUSE mount is refused here";
    const bookmark_line sub = s.bookmark("d/sub/f");
    const std::vector<std::string> file = s.describe("d/sub/f");
    const std::vector<std::string> destination = s.group(".", "free");
    s.move("d/sub", "e/sub");
    ASSERT_EQ(::rmdir(s.at("d").c_str()), 0);
    ASSERT_EQ(::symlink(fuse.at.c_str(), s.at("d").c_str()), 0);
    const tree_snapshot before = s.tree();

    std::atomic<bool> finished = false;
    std::atomic<bool> aborted = false;
    std::thread watchdog([&] {
        for (int waited = 0; waited < 200 && !finished; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!finished) {
            aborted = true;
            fuse.abort_connection();
        }
    });
    run_result r = s.run("recover-rename", join({{sub.hex, sub.device, sub.inode, sub.uid, "e/sub", "f"}, destination, file}));
    finished = true;
    watchdog.join();
    EXPECT_FALSE(aborted) << "the run waited on the mount outside the root";
    EXPECT_TRUE(succeeded(r));
    EXPECT_EQ(s.tree(), before);
}

void fill_with_files(const std::string& directory, int from, int to)
{
    const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd, 0);
    for (int i = from; i < to; ++i) {
        const std::string name = "f" + std::to_string(i);
        const int fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    ::close(dir_fd);
}

// The search examines at most 65536 entries below the root, breadth first.
// Here the moved directory is the (n + 4)-th entry it meets: "a" and "big",
// then "a/b" and the n files of "big", then "a/b/t".
TEST(MovedDirectorySearch, Unprivileged_FoundOnlyWithinItsEntryBudget)
{
    scene s(runner::unprivileged);
    s.dir("t");
    s.dir("a");
    s.dir("a/b");
    s.dir("big");
    s.file("t/f", "content\n");
    const std::vector<std::string> file = s.describe("t/f");
    const std::vector<std::string> destination = s.group(".", "free");
    const bookmark_line t = s.bookmark("t/f");
    s.move("t", "a/b/t");
    const std::vector<std::string> args =
        join({{t.hex, t.device, t.inode, t.uid, "a/b/t", "f"}, destination, file});

    fill_with_files(s.at("big"), 0, 65532);
    EXPECT_TRUE(succeeded(s.run("recover-rename", args)));
    fill_with_files(s.at("big"), 65532, 65533);
    EXPECT_TRUE(identity_changed(s.run("recover-rename", args)));
    EXPECT_EQ(read_file(s.at("a/b/t/f")), "content\n");
}

// The search holds open only the last few directories it listed and reopens
// every other one from its nearest ancestor still open: here the parents of
// the second level were listed more than that many directories earlier, so
// "w11/x" is reopened from the root, and below it a chain deeper than the
// directories held is walked one step at a time.
TEST(MovedDirectorySearch, Unprivileged_FoundBelowWideLevelAndDeepChain)
{
    scene s(runner::unprivileged);
    s.dir("t");
    s.file("t/f", "content\n");
    const std::vector<std::string> file = s.describe("t/f");
    const std::vector<std::string> destination = s.group(".", "free");
    const bookmark_line t = s.bookmark("t/f");
    std::string chain;
    for (int i = 0; i < 12; ++i) {
        s.dir("w" + std::to_string(i));
        s.dir("w" + std::to_string(i) + "/x");
    }
    chain = "w11/x";
    for (int level = 0; level < 20; ++level) {
        chain += "/d";
        s.dir(chain);
    }
    s.move("t", chain + "/t");
    EXPECT_TRUE(succeeded(s.run("recover-rename",
                                join({{t.hex, t.device, t.inode, t.uid, chain + "/t", "f"}, destination, file}))));
    EXPECT_EQ(read_file(s.at(chain + "/t/f")), "content\n");
}

// ---------------------------------------------------------------- identities that do not match

struct mismatch_case {
    const char* name;
    // The source group, from the bookmark lines of the root, of "d" and of its sibling "e".
    std::vector<std::string> (*group)(const bookmark_line& root, const bookmark_line& d, const bookmark_line& e);
};

std::string plus_one(const std::string& number)
{
    return std::to_string(std::stoull(number) + 1);
}

class GroupIdentity_Mismatch : public testing::TestWithParam<mismatch_case> {};

TEST_P(GroupIdentity_Mismatch, FailsWithIdentityChangedAndNothingChanges)
{
    scene s(runner::privileged);
    s.dir("d");
    s.dir("e");
    s.file("f", "in the root\n");
    s.file("d/f", "in d\n");
    const bookmark_line root = s.bookmark("x");
    const bookmark_line d = s.bookmark("d/x");
    const bookmark_line e = s.bookmark("e/x");
    const tree_snapshot before = s.tree();
    EXPECT_TRUE(identity_changed(
        s.run("recover-rename", join({GetParam().group(root, d, e), s.group(".", "free"), s.describe("d/f")}))));
    EXPECT_EQ(s.tree(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Groups, GroupIdentity_Mismatch,
    testing::Values(
        mismatch_case{"InodeOffByOne",
                      [](const bookmark_line&, const bookmark_line& d, const bookmark_line&) {
                          return std::vector<std::string>{d.hex, d.device, plus_one(d.inode), d.uid, "d", "f"};
                      }},
        mismatch_case{"DeviceOffByOne",
                      [](const bookmark_line&, const bookmark_line& d, const bookmark_line&) {
                          return std::vector<std::string>{d.hex, plus_one(d.device), d.inode, d.uid, "d", "f"};
                      }},
        mismatch_case{"OtherOwner",
                      [](const bookmark_line&, const bookmark_line& d, const bookmark_line&) {
                          return std::vector<std::string>{d.hex, d.device, d.inode, plus_one(d.uid), "d", "f"};
                      }},
        mismatch_case{"SiblingsBookmarkAndIdentity",
                      [](const bookmark_line&, const bookmark_line&, const bookmark_line& e) {
                          return std::vector<std::string>{e.hex, e.device, e.inode, e.uid, "d", "f"};
                      }},
        mismatch_case{"RootPathWithSubdirectoryBookmark",
                      [](const bookmark_line&, const bookmark_line& d, const bookmark_line&) {
                          return std::vector<std::string>{d.hex, d.device, d.inode, d.uid, ".", "f"};
                      }},
        mismatch_case{"SubdirectoryPathWithRootBookmark",
                      [](const bookmark_line& root, const bookmark_line&, const bookmark_line&) {
                          return std::vector<std::string>{root.hex, root.device, root.inode, root.uid, "d", "f"};
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- malformed slots

struct malformed_slot {
    const char* name;
    int offset; // within the group
    const char* text;
};

class GroupSlot_Malformed : public testing::TestWithParam<malformed_slot> {};

// The rename had happened, so a group that opened would undo it.
TEST_P(GroupSlot_Malformed, FailsWithEinvalAndNothingChanges)
{
    scene s(runner::privileged);
    s.dir("d");
    s.dir("e");
    s.file("d/f", "content\n");
    const std::vector<std::string> file = s.describe("d/f");
    std::vector<std::string> source = s.group("d", "f");
    const std::vector<std::string> destination = s.group("e", "g");
    s.move("d/f", "e/g");
    const tree_snapshot before = s.tree();
    source[static_cast<std::size_t>(GetParam().offset)] = GetParam().text;
    EXPECT_TRUE(failed_with(s.run("recover-rename", join({source, destination, file})), "EINVAL", EINVAL));
    EXPECT_EQ(s.tree(), before);
}

INSTANTIATE_TEST_SUITE_P(Slots, GroupSlot_Malformed,
                         testing::Values(malformed_slot{"LeafWithSlash", 5, "x/f"},
                                         malformed_slot{"LeafDotDot", 5, ".."},
                                         malformed_slot{"LeafDot", 5, "."},
                                         malformed_slot{"LeafEmpty", 5, ""},
                                         malformed_slot{"LeafWithBackslash", 5, "a\\f"},
                                         malformed_slot{"DirectoryAbsolute", 4, "/d"},
                                         malformed_slot{"DirectoryDotDot", 4, "../d"},
                                         malformed_slot{"DirectoryTrailingSlash", 4, "d/"},
                                         malformed_slot{"DirectoryEmpty", 4, ""},
                                         malformed_slot{"DirectoryDotSlash", 4, "./d"},
                                         malformed_slot{"DeviceNotANumber", 1, "x"},
                                         malformed_slot{"DeviceNegative", 1, "-1"},
                                         malformed_slot{"InodeOutOfRange", 2, "18446744073709551616"},
                                         malformed_slot{"UidEmpty", 3, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the shared preparation

// Leaves the operation half done (its mutation made, nothing settled) and
// returns the recover command's slots from 6 on.
struct pending_case {
    const char* name;
    const char* command;
    int groups;
    std::vector<std::string> (*prepare)(const scene& s);
};

void PrintTo(const pending_case& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> renamed(const scene& s)
{
    std::vector<std::string> args = before_rename(s);
    s.move("d/f", "e/g");
    return args;
}

std::vector<std::string> swapped(const scene& s)
{
    s.dir("d");
    s.file("d/a", "file one\n");
    s.file("d/b", "file two\n");
    std::vector<std::string> args = join({s.group("d", "a"), s.group("d", "b"), s.describe("d/a"), s.describe("d/b")});
    s.move("d/a", "d/t");
    s.move("d/b", "d/a");
    s.move("d/t", "d/b");
    return args;
}

std::vector<std::string> linked(const scene& s)
{
    std::vector<std::string> args = before_link(s);
    s.link("d/f", "d/g");
    return args;
}

class RecoverCommand_Preparation : public testing::TestWithParam<pending_case> {};

// Each refusal comes before anything is settled; the untouched call then does
// settle. No run leaves a descriptor open.
TEST_P(RecoverCommand_Preparation, RefusalsChangeNothing)
{
    const pending_case& c = GetParam();
    scene s(runner::privileged);
    const std::vector<std::string> args = c.prepare(s);
    const tree_snapshot pending = s.tree();
    auto expect_refused = [&](const std::string& what, const std::vector<std::string>& rest, const char* code,
                              int error, run_options options = {}) {
        SCOPED_TRACE(what);
        options.check_fds = true;
        run_result r = s.run(c.command, rest, options);
        EXPECT_TRUE(failed_with(r, code, error));
        EXPECT_EQ(r.leaked_fds, std::vector<int>{});
        EXPECT_EQ(s.tree(), pending);
    };

    run_options statfs_fails = failing_at("fstatfs", 1, "EIO");
    expect_refused("file-system status of the root unavailable", args, "FILESYSTEM_ERROR", EIO, statfs_fails);

    std::vector<std::string> bad_leaf = args;
    bad_leaf[static_cast<std::size_t>(6 * c.groups - 1)] = "../f";
    expect_refused("last group's leaf malformed", bad_leaf, "EINVAL", EINVAL);

    std::vector<std::string> bad_digest = args;
    bad_digest.back()[0] = 'A';
    expect_refused("last digest uppercase", bad_digest, "EINVAL", EINVAL);

    std::vector<std::string> bad_size = args;
    bad_size[bad_size.size() - 3] = "18446744073709551616";
    expect_refused("last size out of range", bad_size, "FILESYSTEM_ERROR", ERANGE);

    std::vector<std::string> longer = args;
    longer.push_back("x");
    expect_refused("one argument too many", longer, "EINVAL", EINVAL);
    std::vector<std::string> shorter(args.begin(), args.end() - 1);
    expect_refused("one argument too few", shorter, "EINVAL", EINVAL);

    run_options leak_check;
    leak_check.check_fds = true;
    run_result settled = s.run(c.command, args, leak_check);
    EXPECT_TRUE(succeeded(settled));
    EXPECT_EQ(settled.leaked_fds, std::vector<int>{});
    EXPECT_NE(s.tree(), pending);
}

INSTANTIATE_TEST_SUITE_P(Commands, RecoverCommand_Preparation,
                         testing::Values(pending_case{"RecoverRename", "recover-rename", 2, renamed},
                                         pending_case{"RecoverSwap", "recover-swap", 2, swapped},
                                         pending_case{"RecoverUnlink", "recover-unlink", 3, before_unlink},
                                         pending_case{"RecoverLink", "recover-link", 4, linked}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace anchorfs::test::recovery
