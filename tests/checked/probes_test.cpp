// Identity probes: what each probe says about every kind of entry at a name,
// exact identities, the three sameness comparisons and modification nanoseconds.

#include "checked/probes.hpp"
#include "checked_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// ------------------------------------------------- the probes by kind of entry

enum class entry { regular, directory, link_to_regular, dangling_link, fifo, missing };

void make_entry(const temp_root& root, entry kind, const std::string& name)
{
    switch (kind) {
    case entry::regular: write_file(root.at(name), "content"); break;
    case entry::directory: make_dir(root.at(name)); break;
    case entry::link_to_regular:
        write_file(root.at("target"), "content");
        make_symlink("target", root.at(name));
        break;
    case entry::dangling_link: make_symlink("nowhere", root.at(name)); break;
    case entry::fifo: make_fifo(root.at(name)); break;
    case entry::missing: break;
    }
}

// Expected outcome of one probe: 0 (or true) with errno, or a failure with errno.
struct outcome {
    bool success;
    int error; // errno afterwards (cleared before the probe): 0 after a plain success, ENOENT after absent_at's
};

struct probe_case {
    const char* name;
    entry kind;
    outcome regular;
    outcome directory;
    outcome absent;
};

class Probes_ByEntryKind : public held_root_table_test<probe_case> {};

TEST_P(Probes_ByEntryKind, ReportTypeOrAbsenceWithoutFollowingLinks)
{
    make_entry(root, c.kind, "name");
    struct stat status;

    expect_call([&] { return regular_at(dir.fd, "name", status) == 0; }, c.regular.success, c.regular.error,
                "regular_at");
    expect_call([&] { return directory_at(dir.fd, "name", status) == 0; }, c.directory.success, c.directory.error,
                "directory_at");
    expect_call([&] { return absent_at(dir.fd, "name"); }, c.absent.success, c.absent.error, "absent_at");

    // exact_regular_at with the identity of whatever is there never accepts a non-file.
    if (c.kind != entry::missing) {
        struct stat seen = lstat_of(root.at("name"));
        file_identity identity{seen.st_dev, seen.st_ino, seen.st_nlink, seen.st_uid, seen.st_mode};
        const bool regular = c.kind == entry::regular;
        expect_call([&] { return exact_regular_at(dir.fd, "name", identity) == 0; }, regular, regular ? 0 : ESTALE,
                    "exact_regular_at");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Probes_ByEntryKind,
    testing::Values(
        probe_case{"RegularFile", entry::regular, {true, 0}, {false, ESTALE}, {false, EEXIST}},
        probe_case{"Directory", entry::directory, {false, ESTALE}, {true, 0}, {false, EEXIST}},
        probe_case{"SymlinkToRegularFile", entry::link_to_regular, {false, ESTALE}, {false, ESTALE}, {false, EEXIST}},
        probe_case{"DanglingSymlink", entry::dangling_link, {false, ESTALE}, {false, ESTALE}, {false, EEXIST}},
        probe_case{"Fifo", entry::fifo, {false, ESTALE}, {false, ESTALE}, {false, EEXIST}},
        probe_case{"Missing", entry::missing, {false, ENOENT}, {false, ENOENT}, {true, ENOENT}}),
    [](const auto& info) { return std::string(info.param.name); });

using RegularAt = held_root_test;

TEST_F(RegularAt, ExistingNameOfWrongType_StillFillsStatus)
{
    make_dir(root.at("d"));
    struct stat status{};
    ASSERT_EQ(regular_at(dir.fd, "d", status), -1);
    EXPECT_EQ(status.st_ino, inode_of(root.at("d")));
}

// Run as an unprivileged user: the directory may be read but not searched.
TEST(AbsentAt_Unprivileged, UnsearchableDirectory_ReportsEaccesNotAbsent)
{
    temp_root root;
    make_dir(root.at("locked"), 0755);
    write_file(root.at("locked/inside"), "x");
    ASSERT_EQ(::chmod(root.at("locked").c_str(), 0644), 0);
    run_options options;
    options.uid = unprivileged_uid();

    run_result present = run_driver({"absent", root.at("locked"), "inside"}, options);
    run_result missing = run_driver({"absent", root.at("locked"), "nothing"}, options);

    EXPECT_EQ(present.out, driver_line(0, EACCES));
    EXPECT_EQ(missing.out, driver_line(0, EACCES));
    EXPECT_EQ(present.err + missing.err, "");
    EXPECT_TRUE(exists(root.at("locked/inside")));
}

// ------------------------------------------------------------ exact identities

struct identity_case {
    const char* name;
    int link_delta;
    bool permission_bits_only;
    bool matches;
};

class ExactRegularAt_Identity : public held_root_table_test<identity_case> {};

TEST_P(ExactRegularAt_Identity, MatchesOnlyTheWholeIdentity)
{
    write_file(root.at("f"), "content", 0644);
    make_link(root.at("f"), root.at("second"));
    struct stat seen = lstat_of(root.at("f"));
    ASSERT_EQ(seen.st_nlink, 2u);
    file_identity identity{seen.st_dev, seen.st_ino, seen.st_nlink + c.link_delta, seen.st_uid,
                           c.permission_bits_only ? 0644u : seen.st_mode};

    expect_call([&] { return exact_regular_at(dir.fd, "f", identity); }, c.matches ? 0 : -1, c.matches ? 0 : ESTALE);
}

INSTANTIATE_TEST_SUITE_P(Identities, ExactRegularAt_Identity,
                         testing::Values(identity_case{"Exact", 0, false, true},
                                         identity_case{"LinkCountOneLower", -1, false, false},
                                         identity_case{"LinkCountOneHigher", 1, false, false},
                                         identity_case{"ModeWithoutTypeBits", 0, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

using ExactRegularAt = held_root_test;

TEST_F(ExactRegularAt, MissingName_ReportsEnoent)
{
    expect_call([&] { return exact_regular_at(dir.fd, "none", file_identity{}); }, -1, ENOENT);
}

TEST_F(ExactRegularAt, ValuesAboveTheFieldWidth_NeverMatch)
{
    write_file(root.at("f"), "content", 0644);
    struct stat seen = lstat_of(root.at("f"));
    file_identity wide_mode{seen.st_dev, seen.st_ino, seen.st_nlink, seen.st_uid,
                            static_cast<std::uint64_t>(seen.st_mode) + (std::uint64_t{1} << 32)};
    file_identity wide_uid{seen.st_dev, seen.st_ino, seen.st_nlink, seen.st_uid + (std::uint64_t{1} << 32),
                           seen.st_mode};
    EXPECT_EQ(exact_regular_at(dir.fd, "f", wide_mode), -1);
    EXPECT_EQ(exact_regular_at(dir.fd, "f", wide_uid), -1);
}

// ---------------------------------------------------------------- comparisons

// Which fields of a record take part in each comparison.
struct field_case {
    const char* name;
    void (*change)(struct stat&);
    bool regular_identity;
    bool file_snapshot;
};

class Comparisons_OneFieldChanged : public root_table_test<field_case> {};

TEST_P(Comparisons_OneFieldChanged, CompareExactlyTheirFields)
{
    write_file(root.at("f"), "content");
    struct stat first = lstat_of(root.at("f"));
    struct stat second = first;
    c.change(second);

    EXPECT_EQ(same_regular_identity(first, second), c.regular_identity);
    EXPECT_EQ(same_file_snapshot(first, second), c.file_snapshot);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Comparisons_OneFieldChanged,
    testing::Values(field_case{"Nothing", [](struct stat&) {}, true, true},
                    field_case{"Device", [](struct stat& s) { s.st_dev += 1; }, false, false},
                    field_case{"Inode", [](struct stat& s) { s.st_ino += 1; }, false, false},
                    field_case{"LinkCount", [](struct stat& s) { s.st_nlink += 1; }, false, false},
                    field_case{"Owner", [](struct stat& s) { s.st_uid += 1; }, false, false},
                    field_case{"PermissionBits", [](struct stat& s) { s.st_mode ^= 0001; }, false, false},
                    field_case{"TypeToFifo", [](struct stat& s) { s.st_mode = S_IFIFO | (s.st_mode & 07777); }, false,
                               false},
                    field_case{"Size", [](struct stat& s) { s.st_size += 1; }, true, false},
                    field_case{"ModifiedSeconds", [](struct stat& s) { s.st_mtim.tv_sec += 1; }, true, false},
                    field_case{"ModifiedNanoseconds", [](struct stat& s) { s.st_mtim.tv_nsec ^= 1; }, true, false},
                    field_case{"ChangedSeconds", [](struct stat& s) { s.st_ctim.tv_sec += 1; }, true, false},
                    field_case{"ChangedNanoseconds", [](struct stat& s) { s.st_ctim.tv_nsec ^= 1; }, true, false},
                    field_case{"GroupIgnored", [](struct stat& s) { s.st_gid += 1; }, true, true},
                    field_case{"AccessTimeIgnored", [](struct stat& s) { s.st_atim.tv_sec += 1; }, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SameRegularIdentity, TwoDirectoryRecords_NeverTheSameFile)
{
    temp_root root;
    struct stat directory = lstat_of(root.path);
    EXPECT_FALSE(same_regular_identity(directory, directory));
    EXPECT_FALSE(same_file_snapshot(directory, directory));
}

TEST(SameDirectoryIdentity, NewSubdirectory_StillTheSameDirectory)
{
    temp_root root;
    make_dir(root.at("d"));
    struct stat before = lstat_of(root.at("d"));
    make_dir(root.at("d/sub"));
    struct stat after = lstat_of(root.at("d"));
    ASSERT_NE(before.st_nlink, after.st_nlink);
    EXPECT_TRUE(same_directory_identity(before, after));
}

TEST(SameDirectoryIdentity, Chmod_NoLongerTheSameDirectory)
{
    temp_root root;
    make_dir(root.at("d"), 0755);
    struct stat before = lstat_of(root.at("d"));
    ASSERT_EQ(::chmod(root.at("d").c_str(), 0700), 0);
    EXPECT_FALSE(same_directory_identity(before, lstat_of(root.at("d"))));
}

TEST(SameDirectoryIdentity, OneIdentityFieldChanged_NoLongerTheSameDirectory)
{
    temp_root root;
    const struct stat before = lstat_of(root.path);
    void (*const changes[])(struct stat&) = {
        [](struct stat& s) { s.st_dev += 1; },
        [](struct stat& s) { s.st_ino += 1; },
        [](struct stat& s) { s.st_uid += 1; },
        [](struct stat& s) { s.st_mode = S_IFREG | (s.st_mode & 07777); },
    };
    for (auto change : changes) {
        struct stat after = before;
        change(after);
        EXPECT_FALSE(same_directory_identity(before, after));
    }
}

TEST(SameDirectoryIdentity, RegularFileRecords_NeverTheSameDirectory)
{
    temp_root root;
    write_file(root.at("f"), "x");
    struct stat file = lstat_of(root.at("f"));
    EXPECT_FALSE(same_directory_identity(file, file));
}

TEST(SameFileSnapshot, RewrittenWithIdenticalBytes_Differs)
{
    temp_root root;
    write_aged_file(root.at("f"), "same bytes");
    struct stat before = lstat_of(root.at("f"));
    write_file(root.at("f"), "same bytes");
    struct stat after = lstat_of(root.at("f"));
    EXPECT_TRUE(same_regular_identity(before, after));
    EXPECT_FALSE(same_file_snapshot(before, after));
}

// Busy-waits (no sleep) until the coarse clock that stamps inode changes has
// moved past `since`, so that the next change gets a later status-change time.
void wait_for_clock_after(const struct timespec& since)
{
    for (;;) {
        struct timespec now;
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec > since.tv_sec || (now.tv_sec == since.tv_sec && now.tv_nsec > since.tv_nsec))
            return;
    }
}

TEST(SameFileSnapshot, HardLinkAddedAndRemoved_DiffersOnlyByStatusChangeTime)
{
    temp_root root;
    write_aged_file(root.at("f"), "content");
    struct stat before = lstat_of(root.at("f"));
    wait_for_clock_after(before.st_ctim);
    make_link(root.at("f"), root.at("extra"));
    ASSERT_EQ(::unlink(root.at("extra").c_str()), 0);
    struct stat after = lstat_of(root.at("f"));

    ASSERT_EQ(before.st_size, after.st_size);
    ASSERT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    ASSERT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_TRUE(same_regular_identity(before, after));
    EXPECT_FALSE(same_file_snapshot(before, after));
}

// ------------------------------------------------------- modified nanoseconds

TEST(ModifiedNanoseconds, OneSecondAndFiveNanoseconds_Is1000000005)
{
    temp_root root;
    write_file(root.at("f"), "x");
    set_modified(root.at("f"), 1, 5);
    std::uint64_t nanoseconds = 0;
    ASSERT_EQ(modified_nanoseconds(lstat_of(root.at("f")), nanoseconds), 0);
    EXPECT_EQ(nanoseconds, 1000000005u);
}

TEST(ModifiedNanoseconds, BeforeTheEpoch_ReportsEoverflow)
{
    temp_root root;
    write_file(root.at("f"), "x");
    set_modified(root.at("f"), -1, 999999999);
    struct stat status = lstat_of(root.at("f"));
    ASSERT_LT(status.st_mtim.tv_sec, 0) << "the file system did not keep a time before the epoch";
    std::uint64_t nanoseconds = 77;
    expect_call([&] { return modified_nanoseconds(status, nanoseconds); }, -1, EOVERFLOW);
    EXPECT_EQ(nanoseconds, 77u);
}

struct time_case {
    const char* name;
    std::int64_t seconds;
    long nanoseconds;
    bool representable;
    std::uint64_t expected;
};

class ModifiedNanoseconds_Range : public testing::TestWithParam<time_case> {};

TEST_P(ModifiedNanoseconds_Range, RepresentsExactlyTheSixtyFourBitRange)
{
    const time_case& c = GetParam();
    struct stat status{};
    status.st_mtim.tv_sec = static_cast<time_t>(c.seconds);
    status.st_mtim.tv_nsec = c.nanoseconds;
    std::uint64_t nanoseconds = 0;
    expect_call([&] { return modified_nanoseconds(status, nanoseconds); }, c.representable ? 0 : -1,
                c.representable ? 0 : EOVERFLOW);
    EXPECT_EQ(nanoseconds, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ModifiedNanoseconds_Range,
    testing::Values(time_case{"Epoch", 0, 0, true, 0},
                    time_case{"LargestFraction", 0, 999999999, true, 999999999},
                    time_case{"FractionOfAWholeSecond", 0, 1000000000, false, 0},
                    time_case{"NegativeFraction", 0, -1, false, 0},
                    time_case{"Largest", 18446744073, 709551615, true, UINT64_MAX},
                    time_case{"OneAboveLargest", 18446744073, 709551616, false, 0},
                    time_case{"SecondsBeyondRange", 18446744074, 0, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
