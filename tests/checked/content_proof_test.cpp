// The content proof: descriptions that pass, everything that makes one fail
// and when, the name-based and recovery forms, and files changed while they
// are hashed (under the seam, through the checked driver).

#include "checked/content_proof.hpp"
#include "checked_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

const std::string empty_digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct opened_file {
    int fd = -1;
    explicit opened_file(const std::string& path, int flags = O_RDONLY)
        : fd(::open(path.c_str(), flags | O_CLOEXEC))
    {
        if (fd < 0)
            throw std::runtime_error("open " + path);
    }
    ~opened_file() { ::close(fd); }
};

// ------------------------------------------------------------------ passing

using ContentProof = held_root_test;

TEST_F(ContentProof, EmptyFile_PassesWithEmptyDigest)
{
    write_file(root.at("empty"), "");
    file_description d = describe(root.at("empty"));
    ASSERT_EQ(d.digest, empty_digest);

    struct stat final_status{};
    EXPECT_EQ(exact_regular_content_at(dir.fd, "empty", d.get(), &final_status), 0);
    EXPECT_EQ(final_status.st_ino, inode_of(root.at("empty")));
    EXPECT_EQ(final_status.st_size, 0);
}

TEST_F(ContentProof, SameDescriptorTwice_SeeksBackAndPassesAgain)
{
    write_file(root.at("f"), std::string(3 * content_chunk + 17, 'q'));
    file_description d = describe(root.at("f"));
    opened_file file(root.at("f"));

    ASSERT_EQ(exact_regular_content_descriptor(file.fd, d.get()), 0);
    EXPECT_EQ(::lseek(file.fd, 0, SEEK_CUR), static_cast<off_t>(d.size));
    EXPECT_EQ(exact_regular_content_descriptor(file.fd, d.get()), 0);
}

TEST_F(ContentProof, ExactlySixtyFourMebibytes_Accepted)
{
    {
        opened_file file(root.at("big"), O_WRONLY | O_CREAT);
        ASSERT_EQ(::ftruncate(file.fd, static_cast<off_t>(content_limit)), 0);
    }
    set_modified(root.at("big"), 1000000000, 0);
    struct stat status = lstat_of(root.at("big"));
    file_description d;
    d.identity = {status.st_dev, status.st_ino, status.st_nlink, status.st_uid, status.st_mode};
    d.size = content_limit;
    d.modified_ns = 1000000000ull * 1000000000ull;
    d.digest = sha256_hex(std::string(content_limit, '\0'));

    EXPECT_EQ(exact_regular_content_at(dir.fd, "big", d.get()), 0);
}

// ------------------------------------------------------- refused by arguments

// Refused before the descriptor is examined: an invalid descriptor would
// otherwise give EBADF.
struct argument_case {
    const char* name;
    std::uint64_t size;
    std::string digest;
};

class ContentProof_BadArguments : public testing::TestWithParam<argument_case> {};

TEST_P(ContentProof_BadArguments, RefusedWithEinvalBeforeTheDescriptorIsTouched)
{
    const argument_case& c = GetParam();
    file_description d;
    d.size = c.size;
    d.digest = c.digest;
    expect_call([&] { return exact_regular_content_descriptor(-1, d.get()); }, -1, EINVAL);
}

std::string uppercased(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return std::toupper(ch); });
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ContentProof_BadArguments,
    testing::Values(argument_case{"SizeOneAboveLimit", content_limit + 1, empty_digest},
                    argument_case{"LargestSize", UINT64_MAX, empty_digest},
                    argument_case{"UppercaseDigest", 0, uppercased(empty_digest)},
                    argument_case{"ShortDigest", 0, empty_digest.substr(1)},
                    argument_case{"LongDigest", 0, empty_digest + "0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContentProof, NameFormWithSizeAboveLimit_ReportsEinvalAndClosesTheName)
{
    write_file(root.at("f"), "x");
    file_description d = describe(root.at("f"));
    d.size = content_limit + 1;
    const int descriptors = open_descriptor_count();

    expect_call([&] { return exact_regular_content_at(dir.fd, "f", d.get()); }, -1, EINVAL);
    EXPECT_EQ(open_descriptor_count(), descriptors);
    expect_call([&] { return exact_recovery_file_at(dir.fd, "f", d.get()); }, -1, ESTALE);
}

TEST_F(ContentProof, UppercaseSpellingOfTheRightDigest_Refused)
{
    write_file(root.at("f"), "abc");
    file_description d = describe(root.at("f"));
    d.digest = uppercased(d.digest);

    expect_call([&] { return exact_regular_content_at(dir.fd, "f", d.get()); }, -1, EINVAL);
    expect_call([&] { return exact_recovery_file_at(dir.fd, "f", d.get()); }, -1, ESTALE);
}

// ---------------------------------------------------- refused by the file

struct mismatch_case {
    const char* name;
    void (*change)(file_description&);
};

class ContentProof_Mismatch : public held_root_table_test<mismatch_case> {};

TEST_P(ContentProof_Mismatch, FailsWithEstaleAndLeavesNoDescriptor)
{
    write_aged_file(root.at("f"), std::string(content_chunk + 5, 'm'));
    file_description d = describe(root.at("f"));
    c.change(d);
    const int descriptors = open_descriptor_count();

    expect_call([&] { return exact_regular_content_at(dir.fd, "f", d.get()); }, -1, ESTALE);
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ContentProof_Mismatch,
    testing::Values(mismatch_case{"Device", [](file_description& d) { d.identity.device += 1; }},
                    mismatch_case{"Inode", [](file_description& d) { d.identity.inode += 1; }},
                    mismatch_case{"Owner", [](file_description& d) { d.identity.owner_uid += 1; }},
                    mismatch_case{"ModeWithoutTypeBits", [](file_description& d) { d.identity.mode &= 07777; }},
                    mismatch_case{"SizeOneLess", [](file_description& d) { d.size -= 1; }},
                    mismatch_case{"SizeOneMore", [](file_description& d) { d.size += 1; }},
                    mismatch_case{"ModifiedOneNanosecondLater", [](file_description& d) { d.modified_ns += 1; }},
                    mismatch_case{"DigestFirstCharacter",
                                  [](file_description& d) { d.digest[0] = d.digest[0] == '0' ? '1' : '0'; }},
                    mismatch_case{"DigestLastCharacter",
                                  [](file_description& d) { d.digest[63] = d.digest[63] == '0' ? '1' : '0'; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContentProof, LinkCountIsNotPartOfTheProof)
{
    write_file(root.at("f"), "content");
    file_description d = describe(root.at("f"));
    d.identity.link_count = 99;
    EXPECT_EQ(exact_regular_content_at(dir.fd, "f", d.get()), 0);
}

TEST_F(ContentProof, ContentChangedInPlaceWithTimeReset_FailsOnTheDigest)
{
    write_aged_file(root.at("f"), "original");
    file_description d = describe(root.at("f"));
    write_file(root.at("f"), "replaced");
    set_modified(root.at("f"), 1000000000, 123456789);
    ASSERT_EQ(describe(root.at("f")).modified_ns, d.modified_ns);

    expect_call([&] { return exact_regular_content_at(dir.fd, "f", d.get()); }, -1, ESTALE);
}

// The run's trace shows that the modification time is checked before any read.
TEST_F(ContentProof, ModifiedOneNanosecondOff_FailsBeforeAnyRead)
{
    write_aged_file(root.at("f"), "right content");
    file_description d = describe(root.at("f"));
    run_options options;
    options.trace = true;

    run_result right = run_driver(join({{"content-at", root.path, "f"}, d.args()}), options);
    d.modified_ns += 1;
    run_result off = run_driver(join({{"content-at", root.path, "f"}, d.args()}), options);

    EXPECT_EQ(right.out, driver_line(0, 0));
    EXPECT_GT(calls_of(right, "read"), 0);
    EXPECT_EQ(off.out, driver_line(-1, ESTALE));
    EXPECT_EQ(calls_of(off, "read"), 0);
    EXPECT_EQ(calls_of(off, "lseek"), 0);
    EXPECT_EQ(right.err + off.err, "");
}

// A time before 1970 has no number of nanoseconds: it never matches, not even
// the number its negative seconds would wrap to.
TEST_F(ContentProof, ModifiedBefore1970_Estale)
{
    write_file(root.at("f"), "right content");
    set_modified(root.at("f"), -1, 0);
    file_description d = describe(root.at("f"));
    ASSERT_EQ(d.modified_ns, static_cast<std::uint64_t>(-1000000000LL)); // the wrapped number

    expect_call([&] { return exact_regular_content_at(dir.fd, "f", d.get()); }, -1, ESTALE);
}

struct name_case {
    const char* name;
    void (*make)(const temp_root&);
    int content_at_error;
};

class ContentProof_NotARegularFile : public held_root_table_test<name_case> {};

// A FIFO must not block the open; the recovery form reports every failure as ESTALE.
TEST_P(ContentProof_NotARegularFile, NameFormFailsRecoveryFormEstale)
{
    write_file(root.at("target"), "");
    c.make(root);
    file_description d = describe(root.at("target"));
    const int descriptors = open_descriptor_count();

    expect_call([&] { return exact_regular_content_at(dir.fd, "name", d.get()); }, -1, c.content_at_error);
    expect_call([&] { return exact_recovery_file_at(dir.fd, "name", d.get()); }, -1, ESTALE);
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ContentProof_NotARegularFile,
    testing::Values(name_case{"SymbolicLinkToTheFile",
                              [](const temp_root& r) { make_symlink("target", r.at("name")); }, ELOOP},
                    name_case{"Fifo", [](const temp_root& r) { make_fifo(r.at("name")); }, ESTALE},
                    name_case{"Socket", [](const temp_root& r) { make_socket(r.at("name")); }, ESTALE},
                    name_case{"Directory", [](const temp_root& r) { make_dir(r.at("name")); }, ESTALE},
                    name_case{"Missing", [](const temp_root&) {}, ENOENT}),
    [](const auto& info) { return std::string(info.param.name); });

using RecoveryFileAt = held_root_test;

TEST_F(RecoveryFileAt, OneMoreHardLinkThanDescribed_OnlyTheRecoveryFormFails)
{
    write_file(root.at("f"), "content");
    file_description d = describe(root.at("f"));
    make_link(root.at("f"), root.at("second"));

    struct stat proven{};
    EXPECT_EQ(exact_regular_content_at(dir.fd, "f", d.get(), &proven), 0);
    EXPECT_EQ(proven.st_nlink, 2u);
    expect_call([&] { return exact_recovery_file_at(dir.fd, "f", d.get()); }, -1, ESTALE);
    d.identity.link_count = 2;
    EXPECT_EQ(exact_recovery_file_at(dir.fd, "f", d.get(), &proven), 0);
    EXPECT_EQ(proven.st_ino, inode_of(root.at("f")));
}

struct hold_case {
    const char* name;
    hold_kind kind;
    int error; // 0: the proof passes
};

class ContentProof_FileHeld : public held_root_table_test<hold_case> {};

// Stores through a writable shared mapping can change the content without
// moving the times, so the proof refuses a file that anything can still write;
// a reader does not count.
TEST_P(ContentProof_FileHeld, WriterRefusedEstaleReaderAccepted)
{
    write_file(root.at("f"), "held content");
    file_description d = describe(root.at("f"));
    file_hold hold(root.at("f"), c.kind);

    errno = 0;
    EXPECT_EQ(exact_regular_content_at(dir.fd, "f", d.get()), c.error == 0 ? 0 : -1);
    if (c.error != 0) {
        EXPECT_EQ(errno, c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Holds, ContentProof_FileHeld,
                         testing::Values(hold_case{"WriteDescriptor", hold_kind::write_descriptor, ESTALE},
                                         hold_case{"WritableMappingWithoutDescriptor", hold_kind::writable_mapping,
                                                   ESTALE},
                                         hold_case{"ReadOnlyMapping", hold_kind::read_only_mapping, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------- changes during the proof

// The name-form proof makes its calls in this order: openat, statx, lseek,
// read..., statx, statx (the name).
TEST(ContentProofRace, NameReplacedAfterTheProof_FailsEstale)
{
    temp_root root;
    write_file(root.at("f"), "right content");
    write_file(root.at("other"), "right content");
    file_description d = describe(root.at("f"));
    run_options options = paused_at("statx", 2, [&](const std::string&) { move_entry(root.at("other"), root.at("f")); });

    run_result r = run_driver(join({{"content-at", root.path, "f"}, d.args()}), options);

    expect_driver(r, -1, ESTALE);
    EXPECT_EQ(read_file(root.at("f")), "right content");
}

// Only ENXIO (a socket or device that took the name) becomes ESTALE; any
// other failure of the open is reported as it is.
TEST(ContentProofRace, OpenFails_ReportsItsOwnError)
{
    temp_root root;
    write_file(root.at("f"), "right content");
    file_description d = describe(root.at("f"));

    run_result r = run_driver(join({{"content-at", root.path, "f"}, d.args()}), failing_at("openat", 1, "EIO"));

    expect_driver(r, -1, EIO);
}

struct hashing_case {
    const char* name;
    void (*change)(const std::string& path);
};

class ContentProofRace_ChangedWhileHashing : public testing::TestWithParam<hashing_case> {};

// A writer that a change leaves behind; released once the run is over.
std::unique_ptr<file_hold> lingering_writer;

// Pauses after the first read of the content and changes the file.
TEST_P(ContentProofRace_ChangedWhileHashing, FailsEstale)
{
    temp_root root;
    write_aged_file(root.at("f"), "the original content");
    file_description d = describe(root.at("f"));
    run_options options = paused_at("read", 1, [&](const std::string&) { GetParam().change(root.at("f")); });

    run_result content_at = run_driver(join({{"content-at", root.path, "f"}, d.args()}), options);
    lingering_writer.reset();

    EXPECT_EQ(content_at.out, driver_line(-1, ESTALE));
    EXPECT_EQ(content_at.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ContentProofRace_ChangedWhileHashing,
    testing::Values(hashing_case{"Appended",
                                 [](const std::string& path) {
                                     int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                                     ASSERT_GE(fd, 0);
                                     ASSERT_EQ(::write(fd, "+", 1), 1);
                                     ::close(fd);
                                 }},
                    hashing_case{"RewrittenInPlaceSameLength",
                                 [](const std::string& path) {
                                     int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
                                     ASSERT_GE(fd, 0);
                                     ASSERT_EQ(::pwrite(fd, "THE", 3, 0), 3);
                                     ::close(fd);
                                 }},
                    // The bytes already hashed change and the modification time
                    // is put back, as stores to dirty pages leave it: only the
                    // mapping still held at the end tells.
                    hashing_case{"StoredThroughMappingTimePutBack",
                                 [](const std::string& path) {
                                     const struct stat before = lstat_of(path);
                                     lingering_writer = std::make_unique<file_hold>(path, hold_kind::writable_mapping);
                                     static_cast<char*>(lingering_writer->mapping)[0] = 'T';
                                     set_modified(path, before.st_mtim.tv_sec, before.st_mtim.tv_nsec);
                                 }},
                    // A writer that opened after the first probe, rewrote bytes
                    // already hashed, put the modification time back and closed:
                    // no writer is left for the second probe and size and
                    // modification time are as described; only the change time tells.
                    hashing_case{"RewrittenTimePutBackWriterGone",
                                 [](const std::string& path) { rewrite_keeping_times(path, "THE"); }},
                    // Every byte was read and hashed; only the final size tells.
                    hashing_case{"TruncatedTimePutBack",
                                 [](const std::string& path) {
                                     const struct stat before = lstat_of(path);
                                     ASSERT_EQ(::truncate(path.c_str(), 0), 0);
                                     set_modified(path, before.st_mtim.tv_sec, before.st_mtim.tv_nsec);
                                 }},
                    hashing_case{"ModeChanged",
                                 [](const std::string& path) { ASSERT_EQ(::chmod(path.c_str(), 0600), 0); }},
                    hashing_case{"OwnerChanged",
                                 [](const std::string& path) { ASSERT_EQ(::chown(path.c_str(), 4321, -1), 0); }},
                    hashing_case{"NameTakenAway",
                                 [](const std::string& path) { move_entry(path, path + "-aside"); }},
                    hashing_case{"NameTakenByADirectory",
                                 [](const std::string& path) {
                                     move_entry(path, path + "-aside");
                                     make_dir(path);
                                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------- sha256_matches

TEST(Sha256Matches, ZeroBytesWithEmptyDigest_TrueAndErrnoUntouched)
{
    errno = EDOM;
    EXPECT_TRUE(sha256_matches({}, empty_digest.c_str()));
    EXPECT_EQ(errno, EDOM);
}

TEST(Sha256Matches, Refusals)
{
    const std::string abc = "abc";
    std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(abc.data()), abc.size());
    const std::string right = sha256_hex(abc);

    EXPECT_TRUE(sha256_matches(bytes, right.c_str()));
    expect_call([&] { return sha256_matches(bytes, empty_digest.c_str()); }, false, ESTALE);
    expect_call([&] { return sha256_matches(bytes, uppercased(right).c_str()); }, false, EINVAL);
    expect_call([&] { return sha256_matches(bytes, nullptr); }, false, EINVAL);
}

TEST(Sha256Matches, LimitInclusive)
{
    std::vector<unsigned char> bytes(content_limit + 1, 0);
    const std::string at_limit = sha256_hex(std::string(content_limit, '\0'));
    EXPECT_TRUE(sha256_matches(std::span<const unsigned char>(bytes.data(), content_limit), at_limit.c_str()));
    expect_call([&] { return sha256_matches(bytes, at_limit.c_str()); }, false, EINVAL);
}

} // namespace
