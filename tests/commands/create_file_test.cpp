// create-file and create-private-file through the binary: exact content from
// standard input, exact permission bits, and a created file that never stays
// behind after a failure. The cases that both commands share run for each.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <ostream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

constexpr std::uint64_t content_limit = 67108864;

struct create_command {
    const char* name;
    bool private_file;
    mode_t mode; // of the created file
};

void PrintTo(const create_command& command, std::ostream* out)
{
    *out << command.name;
}

const create_command plain_create{"create-file", false, 0644};
const create_command private_create{"create-private-file", true, 0600};

// The argument vector; create-file asks for permission bits 420 (0644) unless told otherwise.
std::vector<std::string> create_args(const temp_root& root, const create_command& command, const std::string& path,
                                     std::uint64_t size, const std::string& bits = "420")
{
    if (command.private_file)
        return root.command(command.name, {path, std::to_string(size)});
    return root.command(command.name, {path, bits, std::to_string(size)});
}

std::string patterned(std::size_t size)
{
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<char>((i * 31 + i / 65536) % 251);
    return content;
}

// Only the root itself was opened: no walk, no leaf.
void expect_nothing_opened_below_root(const run_result& r)
{
    EXPECT_EQ(calls_of(r, "openat"), 1u);
    EXPECT_EQ(calls_of(r, "dup"), 0u);
}

void expect_created(const std::string& path, const std::string& content, mode_t mode)
{
    ASSERT_TRUE(exists(path)) << path;
    struct stat status = lstat_of(path);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, mode);
    EXPECT_EQ(status.st_nlink, 1u);
    EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), content.size());
    EXPECT_TRUE(read_file(path) == content) << "content of " << path << " differs";
}

class CreateCommands : public ::testing::TestWithParam<create_command> {};

INSTANTIATE_TEST_SUITE_P(CreateFile, CreateCommands, ::testing::Values(plain_create, private_create),
                         [](const auto& info) { return std::string(info.param.private_file ? "Private" : "Plain"); });

TEST_P(CreateCommands, SizeZeroWithEmptyInput_CreatesEmptyFile)
{
    const create_command& command = GetParam();
    temp_root root;
    run_result r = run_anchorfs(create_args(root, command, "empty", 0));
    expect_plain(r);
    expect_created(root.at("empty"), "", command.mode);
}

TEST_P(CreateCommands, ContentInDirectoryBelowRoot_CreatedWithExactBytes)
{
    const create_command& command = GetParam();
    temp_root root;
    make_dir(root.at("a"));
    make_dir(root.at("a/b"));
    const std::string content = "line one\nline two\n";
    run_options options;
    options.stdin_data = content;
    run_result r = run_anchorfs(create_args(root, command, "a/b/new", content.size()), options);
    expect_plain(r);
    expect_created(root.at("a/b/new"), content, command.mode);
}

// Standard input must hold exactly the announced bytes followed by its end.
TEST_P(CreateCommands, InputNotExactlyAnnouncedSize_FailsEinvalAndLeavesNameFree)
{
    const create_command& command = GetParam();
    const struct {
        std::uint64_t size;
        std::string input;
    } cases[] = {
        {0, "x"},       // one byte where none was announced
        {5, "abcd"},    // one byte short
        {3, "abcd"},    // one byte long
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + ", input of " + std::to_string(c.input.size()));
        temp_root root;
        run_options options;
        options.stdin_data = c.input;
        options.trace = true;
        run_result r = run_anchorfs(create_args(root, command, "f", c.size), options);
        expect_failure(r, "EINVAL", EINVAL);
        expect_absent(root.at("f"));
        // The file was created and then removed, not refused up front.
        EXPECT_EQ(calls_of(r, "fchmod"), command.private_file ? 2u : 1u);
    }
}

TEST_P(CreateCommands, LargestSize_Accepted)
{
    const create_command& command = GetParam();
    temp_root root;
    const std::string content = patterned(content_limit);
    run_options options;
    options.stdin_data = content;
    run_result r = run_anchorfs(create_args(root, command, "big", content_limit), options);
    expect_plain(r);
    expect_created(root.at("big"), content, command.mode);
}

TEST_P(CreateCommands, SizeAboveLimit_RefusedBeforeAnythingIsOpened)
{
    const create_command& command = GetParam();
    temp_root root;
    run_options options;
    options.stdin_data = patterned(content_limit + 1);
    options.trace = true;
    run_result r = run_anchorfs(create_args(root, command, "big", content_limit + 1), options);
    expect_failure(r, "EINVAL", EINVAL);
    expect_nothing_opened_below_root(r);
    expect_absent(root.at("big"));
}

// The first read fills the whole 65536-byte buffer; the next asks only for the
// one byte still missing, then one more read must find the end of input.
// Standard input is a regular file, so each read returns all it asked for.
TEST_P(CreateCommands, SizeOneAboveBuffer_ReadsFullBufferThenOnlyWhatIsMissing)
{
    const create_command& command = GetParam();
    const struct {
        std::size_t input_size;
        std::vector<std::string> reads;
        bool succeeds;
    } cases[] = {
        {65537, {"read 65536 0", "read 1 0", "read 0 0"}, true},
        // Two bytes are available to the second read; it takes one.
        {65538, {"read 65536 0", "read 1 0", "read 1 0"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input of " + std::to_string(c.input_size));
        temp_root root;
        const std::string input = patterned(c.input_size);
        write_file(root.beside("input"), input);
        run_options options;
        options.stdin_file = root.beside("input");
        options.trace = true;
        run_result r = run_anchorfs(create_args(root, command, "f", 65537), options);
        EXPECT_EQ(traced(r, "read"), c.reads);
        if (c.succeeds) {
            expect_plain(r);
            expect_created(root.at("f"), input, command.mode);
        } else {
            expect_failure(r, "EINVAL", EINVAL);
            expect_absent(root.at("f"));
        }
    }
}

TEST_P(CreateCommands, DanglingSymbolicLinkAtName_FailsEexistAndLeavesLink)
{
    const create_command& command = GetParam();
    temp_root root;
    ASSERT_EQ(::symlink("missing-target", root.at("f").c_str()), 0);
    const ino_t link_inode = inode_of(root.at("f"));
    run_options options;
    options.stdin_data = "abc";
    run_result r = run_anchorfs(create_args(root, command, "f", 3), options);
    expect_failure(r, "EEXIST", EEXIST);
    EXPECT_TRUE(S_ISLNK(lstat_of(root.at("f")).st_mode));
    EXPECT_EQ(inode_of(root.at("f")), link_inode);
    expect_absent(root.at("missing-target"));
}

// The permission bits are set explicitly after the create, whatever the umask.
TEST_P(CreateCommands, RestrictiveUmask_FileStillGetsItsBits)
{
    const create_command& command = GetParam();
    for (mode_t mask : {mode_t{077}, mode_t{0777}}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        temp_root root;
        run_options options;
        options.stdin_data = "data";
        options.umask = mask;
        run_result r = run_anchorfs(create_args(root, command, "f", 4), options);
        expect_plain(r);
        expect_created(root.at("f"), "data", command.mode);
    }
}

// Pause after the first fsync (the new file's), then move the root away and
// put another directory at its path: the after-mutation check fails and the
// file is removed from the parent that the run holds, the moved root.
TEST_P(CreateCommands, RootReplacedAfterFileWritten_RollsBackAndRemovesFile)
{
    const create_command& command = GetParam();
    temp_root root;
    const std::string moved = root.beside("moved-root");
    run_options options = paused_at("fsync", 1, [&](const std::string&) {
        ASSERT_TRUE(exists(root.at("f")));
        replace_directory(root.path, moved);
    });
    options.stdin_data = "written";
    run_result r = run_anchorfs(create_args(root, command, "f", 7), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    EXPECT_EQ(r.pauses, std::vector<std::string>{"fsync 1"});
    expect_absent(moved + "/f");
    expect_absent(root.at("f"));
}

// A failing call after the create removes the file again and reports the
// call's own error. write 1 is the file's (the result line is not written
// through an interposed write); fsync 1 is the file's, fsync 2 the parent's.
// When another process gave the file a second name during the copy, the undo
// cannot take it away: the line says it stayed (RACE_PRESERVED, the call's
// error), and both names remain.
TEST_P(CreateCommands, CallFailsAfterCreate_ReportsItsErrorAndRemovesFile)
{
    const create_command& command = GetParam();
    const struct {
        const char* rule;
        int error;
        bool second_name; // given while paused after the first write
    } cases[] = {
        {"fail:write:1:ENOSPC", ENOSPC, false},
        {"fail:fsync:1:EIO", EIO, false},
        {"fail:fsync:2:EIO", EIO, false},
        {"pause:write:1;fail:fsync:1:EIO", EIO, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        temp_root root;
        run_options options;
        options.stdin_data = "content";
        options.seam.rules = c.rule;
        options.seam.on_pause = [&](const std::string&) {
            ASSERT_EQ(::link(root.at("f").c_str(), root.at("second").c_str()), 0);
        };
        options.check_fds = true;
        run_result r = run_anchorfs(create_args(root, command, "f", 7), options);
        if (c.second_name) {
            expect_failure(r, "RACE_PRESERVED", c.error);
            EXPECT_EQ(lstat_of(root.at("f")).st_ino, lstat_of(root.at("second")).st_ino);
        } else {
            expect_failure(r, "FILESYSTEM_ERROR", c.error);
            expect_absent(root.at("f"));
        }
    }
}

// Paused after the file's own flush, the file is changed through its name
// before the run looks at it once more: the run fails IDENTITY_CHANGED and
// removes the file, unless it has a second name, which a removal would not undo.
TEST_P(CreateCommands, FileChangedBeforeItsCheck_IdentityChangedAndRemovedWhileSingle)
{
    const create_command& command = GetParam();
    const struct {
        const char* name;
        void (*change)(const std::string& path);
        bool private_only; // create-file does not promise owner or link count
        bool removed;
    } cases[] = {
        {"mode", [](const std::string& f) { ASSERT_EQ(::chmod(f.c_str(), 0700), 0); }, false, true},
        {"size", [](const std::string& f) { write_file(f, "written and more"); }, false, true},
        {"owner", [](const std::string& f) { ASSERT_EQ(::chown(f.c_str(), 4321, -1), 0); }, true, true},
        {"second link", [](const std::string& f) { ASSERT_EQ(::link(f.c_str(), (f + "-second").c_str()), 0); }, true,
         false},
    };
    for (const auto& c : cases) {
        if (c.private_only && !command.private_file)
            continue;
        SCOPED_TRACE(c.name);
        temp_root root;
        run_options options = paused_at("fsync", 1, [&](const std::string&) { c.change(root.at("f")); });
        options.stdin_data = "written";
        run_result r = run_anchorfs(create_args(root, command, "f", 7), options);
        // A file that stays is never reported as a plain failure.
        expect_failure(r, c.removed ? "IDENTITY_CHANGED" : "RACE_PRESERVED", ESTALE);
        EXPECT_EQ(exists(root.at("f")), !c.removed);
        EXPECT_EQ(exists(root.at("f-second")), !c.removed);
    }
}

// ---- create-file only: the permission bits argument ----

// A directory with the append-only attribute takes new names but refuses to
// remove any: the undo of a failed create cannot take the file away, and the
// line says so. File systems without the attribute (tmpfs) skip. Only
// create-file: such a directory refuses the mode change of the private store.
TEST(CreateFile, AppendOnlyDirectory_UndoRefused_ReportsFileKept)
{
    const create_command& command = plain_create;
    temp_root root;
    make_dir(root.at("kept"), 0700);
    struct append_only {
        int fd;
        int flags = 0;
        bool set = false;
        explicit append_only(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
        {
            int added = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                added = flags | FS_APPEND_FL;
                set = ::ioctl(fd, FS_IOC_SETFLAGS, &added) == 0;
            }
        }
        ~append_only()
        {
            if (set)
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            if (fd >= 0)
                ::close(fd);
        }
    } attribute(root.at("kept"));
    if (!attribute.set)
        GTEST_SKIP() << "no append-only attribute on this file system";
    run_options options;
    options.stdin_data = "content";
    options.seam.rules = "fail:fsync:1:EIO";
    run_result r = run_anchorfs(create_args(root, command, "kept/f", 7), options);
    expect_failure(r, "RACE_PRESERVED", EIO);
    EXPECT_TRUE(exists(root.at("kept/f")));
}

TEST(CreateFile, PermissionBitsAtAndAboveLimit_AllBitsAcceptedNextRefusedUpFront)
{
    {
        temp_root root;
        run_options options;
        options.stdin_data = "x";
        run_result r = run_anchorfs(create_args(root, plain_create, "f", 1, "511"), options);
        expect_plain(r);
        expect_created(root.at("f"), "x", 0777);
    }
    {
        temp_root root;
        run_options options;
        options.stdin_data = "x";
        options.trace = true;
        run_result r = run_anchorfs(create_args(root, plain_create, "f", 1, "512"), options);
        expect_failure(r, "EINVAL", EINVAL);
        expect_nothing_opened_below_root(r);
        expect_absent(root.at("f"));
    }
}

} // namespace
