// read-private-file and read-external-file through the binary: the exact bytes
// after the size line, the bound, what each leaves of the file's mode, and
// files that change while they are read.

#include "private_store/private_store_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::private_store;

enum class reader { private_read, external_read };

const char* reader_name(reader r)
{
    return r == reader::private_read ? "Private" : "External";
}

// The file "d/f".
struct read_scene : private_dir_scene {
    std::string file = root.at("d/f");

    using private_dir_scene::private_dir_scene;

    // Slots 8 to 10 of read-external-file: the identity of `directory`.
    static std::vector<std::string> parent_slots(const std::string& directory)
    {
        const struct stat status = lstat_of(directory);
        return {std::to_string(static_cast<unsigned long long>(status.st_dev)), std::to_string(status.st_ino),
                std::to_string(status.st_uid)};
    }

    std::vector<std::string> args(reader r, const std::string& bound) const
    {
        if (r == reader::private_read)
            return root.command("read-private-file", {"d/f", bound});
        return root.command("read-external-file", join({{"d/f", bound}, parent_slots(dir)}));
    }
    run_result read(reader r, const std::string& bound, const run_options& options = {}) const
    {
        return run_closing_all(args(r, bound), options);
    }
};

TEST(ReadPrivate, EmptyFile_SizeLineZeroAndNothingAfter)
{
    read_scene scene;
    write_file(scene.file, "", 0600);
    expect_outcome(scene.read(reader::private_read, "10"), size_line(0), exit_ok);
    EXPECT_TRUE(exists(scene.file));
}

TEST(ReadExternal, EmptyFile_IdentityChanged)
{
    read_scene scene;
    write_file(scene.file, "", 0644);
    expect_failure(scene.read(reader::external_read, "10"), "IDENTITY_CHANGED", ESTALE);
    EXPECT_EQ(mode_of(scene.file), 0644);
}

TEST(ReadExternal, OneByteFile_SizeLineOneAndTheByte)
{
    read_scene scene;
    write_file(scene.file, "\n", 0644);
    expect_outcome(scene.read(reader::external_read, "1"), size_line(1) + "\n", exit_ok);
}

TEST(ReadModes, File0644_PrivateReadHardensExternalReadLeavesModes)
{
    for (reader r : {reader::private_read, reader::external_read}) {
        SCOPED_TRACE(reader_name(r));
        read_scene scene;
        write_file(scene.file, "content", 0644);
        expect_outcome(scene.read(r, "100"), size_line(7) + "content", exit_ok);
        const bool hardened = r == reader::private_read;
        EXPECT_EQ(mode_of(scene.file), hardened ? 0600 : 0644);
        EXPECT_EQ(mode_of(scene.dir), hardened ? 0700 : 0755);
    }
}

TEST(ReadBound, FileAtBoundIsReadOneByteOverIsRefusedBeforeItsModeChanges)
{
    for (reader r : {reader::private_read, reader::external_read}) {
        SCOPED_TRACE(reader_name(r));
        read_scene scene;
        write_file(scene.file, "12345", 0644);
        expect_failure(scene.read(r, "4"), "IDENTITY_CHANGED", ESTALE);
        EXPECT_EQ(mode_of(scene.file), 0644);
        expect_outcome(scene.read(r, "5"), size_line(5) + "12345", exit_ok);
    }
}

TEST(ReadBinary, OneMebibyteWithEveryByteValue_ExactBytesAfterSizeLine)
{
    std::string content(1 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131 + i / 256) & 0xff);
    for (reader r : {reader::private_read, reader::external_read}) {
        SCOPED_TRACE(reader_name(r));
        read_scene scene;
        write_file(scene.file, content, 0600);
        run_result result = scene.read(r, "1048576");
        EXPECT_EQ(result.exit_code, exit_ok);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(result.out == size_line(1048576) + content) << "output of " << result.out.size() << " bytes";
    }
}

TEST(ReadExternal, ParentIdentityOfAnotherDirectory_EinvalAndFileNeverOpened)
{
    read_scene scene;
    write_file(scene.file, "abc", 0644);
    make_dir(scene.root.at("e"), 0755);
    run_options traced;
    traced.trace = true;
    run_result reference = scene.read(reader::external_read, "10", traced);
    expect_outcome(reference, size_line(3) + "abc", exit_ok);

    const auto other = read_scene::parent_slots(scene.root.at("e"));
    const auto own = read_scene::parent_slots(scene.dir);
    const std::vector<std::vector<std::string>> wrong_slots = {
        other,                                                      // another directory
        {std::to_string(std::stoull(own[0]) + 1), own[1], own[2]}, // another device
        {own[0], own[1], std::to_string(unprivileged_uid())},     // another owner
    };
    for (const auto& slots : wrong_slots) {
        SCOPED_TRACE(::testing::PrintToString(slots));
        run_result result =
            run_closing_all(scene.root.command("read-external-file", join({{"d/f", "10"}, slots})), traced);
        expect_failure(result, "EINVAL", EINVAL);
        // The refused run follows the successful one up to the parent's identity
        // check and then only closes and reports; the successful run opens the
        // file later than that point.
        std::size_t end = result.trace.size();
        while (end > 0 && (call_name(result.trace[end - 1]) == "close" || call_name(result.trace[end - 1]) == "fflush"
                           || call_name(result.trace[end - 1]) == "write"))
            --end;
        ASSERT_LE(end, reference.trace.size());
        EXPECT_TRUE(std::equal(result.trace.begin(), result.trace.begin() + static_cast<long>(end),
                               reference.trace.begin()));
        const std::size_t first_read = position_of(reference.trace, "read");
        ASSERT_NE(first_read, std::string::npos);
        EXPECT_LT(count_calls(reference.trace, "openat", end), count_calls(reference.trace, "openat", first_read));
        EXPECT_EQ(count_calls(result.trace, "read"), 0u);
        EXPECT_EQ(mode_of(scene.file), 0644);
    }
}

TEST(ReadAndRemove, FileWithSecondHardLink_IdentityChangedAndFileUntouched)
{
    const std::vector<std::pair<const char*, std::vector<std::string>>> commands = {
        {"read-private-file", {"d/f", "10"}},
        {"read-external-file", {"d/f", "10"}},
        {"remove-private-file", {"d/f", "3", sha256_hex("abc")}},
    };
    for (const auto& [command, slots] : commands) {
        SCOPED_TRACE(command);
        read_scene scene;
        write_file(scene.file, "abc", 0644);
        ASSERT_EQ(::link(scene.file.c_str(), scene.root.at("d/g").c_str()), 0);
        std::vector<std::string> rest = slots;
        if (std::string(command) == "read-external-file")
            rest = join({slots, read_scene::parent_slots(scene.dir)});
        const auto before = tree_listing(scene.dir + "/f");
        expect_failure(run_closing_all(scene.root.command(command, rest)), "IDENTITY_CHANGED", ESTALE);
        EXPECT_EQ(tree_listing(scene.dir + "/f"), before);
        EXPECT_TRUE(exists(scene.root.at("d/g")));
        EXPECT_EQ(mode_of(scene.file), 0644);
    }
}

struct special_case {
    const char* name;
    void (*make)(const std::string& path);
};

void PrintTo(const special_case& c, std::ostream* os)
{
    *os << c.name;
}

class ReadAndRemove_SpecialFileAtName : public ::testing::TestWithParam<special_case> {};

// Classified before it is opened: a socket would fail the open with ENXIO, a
// FIFO must not stall the run; both are an identity change and stay.
TEST_P(ReadAndRemove_SpecialFileAtName, IdentityChangedAndEntryKept)
{
    for (const char* command : {"read-private-file", "read-external-file", "remove-private-file"}) {
        SCOPED_TRACE(command);
        read_scene scene;
        GetParam().make(scene.file);
        std::vector<std::string> rest = {"d/f", "3"};
        if (std::string(command) == "read-external-file")
            rest = join({rest, read_scene::parent_slots(scene.dir)});
        if (std::string(command) == "remove-private-file")
            rest.push_back(sha256_hex("abc"));
        const struct stat before = lstat_of(scene.file);
        expect_failure(run_closing_all(scene.root.command(command, rest)), "IDENTITY_CHANGED", ESTALE);
        const struct stat after = lstat_of(scene.file);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ReadAndRemove_SpecialFileAtName,
    ::testing::Values(special_case{"Socket", make_socket},
                      special_case{"Fifo", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }}),
    [](const ::testing::TestParamInfo<special_case>& info) { return info.param.name; });

struct change_case {
    const char* name;
    reader r;
    bool grow;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const change_case& c, std::ostream* os)
{
    *os << c.name;
}

class ReadWhileChanging : public ::testing::TestWithParam<change_case> {};

TEST_P(ReadWhileChanging, FileChangedAfterFirstContentRead_IdentityChangedAndNoSizeLine)
{
    const change_case& c = GetParam();
    read_scene scene;
    write_file(scene.file, "0123456789", 0600);
    // The first read of content is the first read after the rewind to offset 0.
    run_options traced;
    traced.trace = true;
    run_result reference = scene.read(c.r, "100", traced);
    expect_outcome(reference, size_line(10) + "0123456789", exit_ok);
    const std::size_t rewind = position_of(reference.trace, "lseek");
    ASSERT_NE(rewind, std::string::npos);
    const std::size_t first_content_read = count_calls(reference.trace, "read", rewind) + 1;

    run_options options;
    options.seam.rules = "pause:read:" + std::to_string(first_content_read);
    options.seam.on_pause = [&](const std::string&) {
        if (c.grow)
            append_to(scene.file, "X");
        else
            ASSERT_EQ(::truncate(scene.file.c_str(), 4), 0);
    };
    run_result result = scene.read(c.r, "100", options);
    expect_failure(result, "IDENTITY_CHANGED", ESTALE);
    EXPECT_EQ(result.pauses.size(), 1u);
    EXPECT_EQ(read_file(scene.file), c.grow ? "0123456789X" : "0123");
}

INSTANTIATE_TEST_SUITE_P(Changes, ReadWhileChanging,
                         ::testing::Values(change_case{"PrivateGrows", reader::private_read, true},
                                           change_case{"PrivateShrinks", reader::private_read, false},
                                           change_case{"ExternalGrows", reader::external_read, true},
                                           change_case{"ExternalShrinks", reader::external_read, false}),
                         [](const ::testing::TestParamInfo<change_case>& info) { return info.param.name; });

// When another process holds the file so that it can write it: before the run,
// from a pause after the first read of content (a newcomer the reads could not
// see in the status), or by opening it while the run holds its read lease; or
// the lease was broken and taken away before the run dropped it (the kernel
// does so once a writer has waited out the break time): the drop fails with
// EAGAIN.
enum class hold_time { before_run, after_first_read, during_lease, lease_broken };

struct held_case {
    const char* name;
    const char* command;
    hold_kind kind;
    hold_time when;
    bool unprivileged; // the run is an unprivileged user; the root and file are its own unless `others`
    bool others;       // the file belongs to root's owner (uid 0) and the run may not take a lease on it
    bool refused;
};

void PrintTo(const held_case& c, std::ostream* os)
{
    *os << c.name;
}

class ReadAndRemove_FileHeld : public ::testing::TestWithParam<held_case> {};

// A writer refuses the read or removal as an identity change, with no byte of
// content on standard output and the file kept; a reader does not; a lease
// break while the run holds its lease does not end the run; a run that may not
// take a lease on the file (not its owner, no CAP_LEASE) reads it as before.
TEST_P(ReadAndRemove_FileHeld, WriterRefusedAndFileKept)
{
    const held_case& c = GetParam();
    const std::string content = "held content";
    std::optional<uid_t> owner;
    if (c.unprivileged && !c.others)
        owner = unprivileged_uid();
    read_scene scene(owner);
    write_file(scene.file, content, 0600);
    if (owner) {
        ASSERT_EQ(::chown(scene.file.c_str(), *owner, unprivileged_gid()), 0);
    }
    if (c.others) {
        ASSERT_EQ(::chmod(scene.file.c_str(), 0644), 0);
    }
    auto args_for = [&](const std::string& path) {
        std::vector<std::string> args = scene.root.command(c.command, {path, std::to_string(content.size())});
        if (std::string(c.command) == "read-external-file")
            args = join({args, read_scene::parent_slots(scene.dir)});
        if (std::string(c.command) == "remove-private-file")
            args.push_back(sha256_hex(content));
        return args;
    };

    run_options options;
    if (c.unprivileged) {
        options.uid = unprivileged_uid();
        options.gid = unprivileged_gid();
    }
    std::unique_ptr<file_hold> hold;
    if (c.when == hold_time::before_run)
        hold = std::make_unique<file_hold>(scene.file, c.kind);
    if (c.when != hold_time::before_run) {
        run_options traced = options;
        traced.trace = true;
        write_file(scene.root.at("d/g"), content, 0600);
        run_result reference = run_anchorfs(args_for("d/g"), traced);
        ASSERT_EQ(reference.exit_code, exit_ok);
        const std::size_t rewind = position_of(reference.trace, "lseek");
        ASSERT_NE(rewind, std::string::npos);
        const auto lease_calls = static_cast<unsigned>(count_calls(reference.trace, "fcntl", rewind));
        if (c.when == hold_time::lease_broken) {
            options.seam.rules = fail_rule("fcntl", lease_calls, "EAGAIN");
        } else if (c.when == hold_time::after_first_read) {
            options.seam.rules = "pause:read:" + std::to_string(count_calls(reference.trace, "read", rewind) + 1);
            options.seam.on_pause = [&](const std::string&) {
                hold = std::make_unique<file_hold>(scene.file, c.kind);
            };
        } else {
            // The probe before the first rewind takes the lease with the
            // second-to-last fcntl before it, and drops it with the last.
            options.seam.rules = pause_rule("fcntl", lease_calls - 1);
            options.seam.on_pause = [&](const std::string&) {
                int fd = ::open(scene.file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                EXPECT_EQ(fd, -1);
                EXPECT_EQ(errno, EWOULDBLOCK);
                if (fd >= 0)
                    ::close(fd);
            };
        }
    }
    run_result result = run_closing_all(args_for("d/f"), options);
    hold.reset();
    if (c.when == hold_time::after_first_read || c.when == hold_time::during_lease) {
        EXPECT_EQ(result.pauses.size(), 1u);
    }
    if (c.refused) {
        expect_failure(result, "IDENTITY_CHANGED", ESTALE);
        EXPECT_EQ(read_file(scene.file), content);
    } else if (std::string(c.command) == "remove-private-file") {
        expect_plain(result);
    } else {
        expect_outcome(result, size_line(content.size()) + content, exit_ok);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Holds, ReadAndRemove_FileHeld,
    ::testing::Values(
        held_case{"PrivateReadWriteDescriptor", "read-private-file", hold_kind::write_descriptor,
                  hold_time::before_run, false, false, true},
        held_case{"PrivateReadWritableMapping", "read-private-file", hold_kind::writable_mapping,
                  hold_time::before_run, false, false, true},
        held_case{"PrivateReadReadOnlyMapping", "read-private-file", hold_kind::read_only_mapping,
                  hold_time::before_run, false, false, false},
        held_case{"PrivateReadWritableMappingAfterFirstRead", "read-private-file", hold_kind::writable_mapping,
                  hold_time::after_first_read, false, false, true},
        held_case{"PrivateReadWriterOpensDuringLease", "read-private-file", hold_kind::write_descriptor,
                  hold_time::during_lease, false, false, false},
        held_case{"PrivateReadLeaseBrokenBeforeItsDrop", "read-private-file", hold_kind::write_descriptor,
                  hold_time::lease_broken, false, false, true},
        held_case{"PrivateReadUnprivilegedOwnerWritableMapping", "read-private-file", hold_kind::writable_mapping,
                  hold_time::before_run, true, false, true},
        held_case{"ExternalReadWritableMapping", "read-external-file", hold_kind::writable_mapping,
                  hold_time::before_run, false, false, true},
        held_case{"ExternalReadUnprivilegedNotOwnerProbeSkipped", "read-external-file", hold_kind::writable_mapping,
                  hold_time::before_run, true, true, false},
        held_case{"RemoveWriteDescriptor", "remove-private-file", hold_kind::write_descriptor, hold_time::before_run,
                  false, false, true},
        held_case{"RemoveWritableMapping", "remove-private-file", hold_kind::writable_mapping,
                  hold_time::before_run, false, false, true},
        held_case{"RemoveWritableMappingAfterFirstRead", "remove-private-file", hold_kind::writable_mapping,
                  hold_time::after_first_read, false, false, true}),
    [](const ::testing::TestParamInfo<held_case>& info) { return info.param.name; });

TEST(ReadOutput, WriteOfSizeLineOrContentFails_Exit11WithNothingAfter)
{
    for (reader r : {reader::private_read, reader::external_read}) {
        SCOPED_TRACE(reader_name(r));
        read_scene scene;
        write_file(scene.file, "payload", 0600);
        // The size line and the content are the run's last two writes.
        run_options traced;
        traced.trace = true;
        run_result reference = scene.read(r, "100", traced);
        expect_outcome(reference, size_line(7) + "payload", exit_ok);
        const std::size_t writes = count_calls(reference.trace, "write", reference.trace.size());
        ASSERT_GE(writes, 2u);

        const std::pair<std::size_t, std::string> failures[] = {{writes - 1, ""}, {writes, size_line(7)}};
        for (const auto& [write, delivered] : failures) {
            const std::string rule = "fail:write:" + std::to_string(write) + ":EIO";
            SCOPED_TRACE(rule);
            run_options options;
            options.seam.rules = rule;
            // Undelivered: no failure line follows what went out, and never status 0.
            expect_outcome(scene.read(r, "100", options), delivered, exit_undelivered);
            EXPECT_EQ(read_file(scene.file), "payload");
        }
    }
}

} // namespace
