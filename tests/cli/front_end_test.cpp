// The front end through the binary: argument count, the root's identity
// numbers, the root check, dispatch by name and exact count, and the mapping
// of a handler's error to the failure line.

#include "support/checks.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;

void expect_protocol_failure(const run_result& r)
{
    expect_outcome(r, failure_line("INVALID_PROTOCOL", EINVAL), exit_protocol);
}

// True when the traced run looked at any path at all.
bool touched_a_path(const run_result& r)
{
    for (const auto& line : r.trace)
        for (const char* call : {"open ", "openat ", "fstatat ", "statx ", "mkdirat ", "readlink", "fstatfs "})
            if (line.rfind(call, 0) == 0)
                return true;
    return false;
}

// Which of the names a run could have made exist in `directory`.
std::vector<std::string> entries_of(const std::string& directory)
{
    std::vector<std::string> names;
    for (const char* candidate : {"made", "f", "a", "x"})
        if (exists(directory + "/" + candidate))
            names.push_back(candidate);
    return names;
}

// Decimal text of value + 2^shift, for numbers just past a field's width.
std::string plus_power_of_two(std::uint64_t value, int shift)
{
    unsigned __int128 sum = static_cast<unsigned __int128>(value) + (static_cast<unsigned __int128>(1) << shift);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(sum % 10)));
        sum /= 10;
    } while (sum != 0);
    return digits;
}

// ---------------------------------------------------------------- argument count

TEST(FrontEnd, NoArguments_InvalidProtocolWithoutTouchingAnything)
{
    run_options options;
    options.trace = true;
    run_result r = run_anchorfs({}, options);
    expect_protocol_failure(r);
    EXPECT_FALSE(touched_a_path(r));
}

TEST(FrontEnd, FiveArguments_InvalidProtocolAndRootPathNeverOpened)
{
    temp_root root;
    const std::string missing = root.at("missing");
    run_options options;
    options.trace = true;
    // Slots 1 to 4: one short of the device, inode and uid.
    run_result r = run_anchorfs({"ensure-dir", missing, std::to_string(root.device), std::to_string(root.inode)},
                                options);
    expect_protocol_failure(r);
    EXPECT_FALSE(touched_a_path(r));
    EXPECT_FALSE(exists(missing));
}

// ---------------------------------------------------------------- root identity numbers

enum class number_outcome { protocol, accepted, root_changed };

struct number_case {
    const char* name;
    std::function<std::string(std::uint64_t)> text; // from the slot's true value
    number_outcome outcome;
};

const number_case number_cases[] = {
    {"TwoToThe64", [](std::uint64_t) { return std::string("18446744073709551616"); }, number_outcome::protocol},
    {"ValuePlusTwoToThe64", [](std::uint64_t v) { return plus_power_of_two(v, 64); }, number_outcome::protocol},
    {"MinusZero", [](std::uint64_t) { return std::string("-0"); }, number_outcome::protocol},
    {"Negative", [](std::uint64_t v) { return "-" + std::to_string(v); }, number_outcome::protocol},
    {"Empty", [](std::uint64_t) { return std::string(); }, number_outcome::protocol},
    {"TrailingBlank", [](std::uint64_t v) { return std::to_string(v) + " "; }, number_outcome::protocol},
    {"TrailingLetter", [](std::uint64_t v) { return std::to_string(v) + "x"; }, number_outcome::protocol},
    {"BlankThenMinus", [](std::uint64_t v) { return " -" + std::to_string(v); }, number_outcome::protocol},
    {"TwoPlusSigns", [](std::uint64_t v) { return "++" + std::to_string(v); }, number_outcome::protocol},
    {"Hexadecimal",
     [](std::uint64_t v) {
         char text[32];
         std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
         return std::string(text);
     },
     number_outcome::protocol},
    {"LeadingBlanks", [](std::uint64_t v) { return " \t" + std::to_string(v); }, number_outcome::accepted},
    {"PlusSign", [](std::uint64_t v) { return "+" + std::to_string(v); }, number_outcome::accepted},
    {"LeadingZeros", [](std::uint64_t v) { return "000" + std::to_string(v); }, number_outcome::accepted},
    {"OffByOne", [](std::uint64_t v) { return std::to_string(v + 1); }, number_outcome::root_changed},
    // A number beyond the field's 32 bits must not be cut down to match.
    {"ValuePlusTwoToThe32", [](std::uint64_t v) { return plus_power_of_two(v, 32); }, number_outcome::root_changed},
};

std::string slot_name(int slot)
{
    return slot == 3 ? "Device" : slot == 4 ? "Inode" : "Uid";
}

class FrontEnd_RootNumber : public testing::TestWithParam<std::tuple<number_case, int>> {};

// Six arguments name no command: a run that gets past the root check ends in
// EINVAL, one that does not reports why the root was refused.
TEST_P(FrontEnd_RootNumber, DecidesBeforeOrAtTheRootCheck)
{
    const auto& [c, slot] = GetParam();
    temp_root root;
    std::vector<std::string> args = root.command("ensure-dir");
    const std::uint64_t values[] = {root.device, root.inode, root.uid};
    // args[0] is slot 1, the command name.
    args[static_cast<std::size_t>(slot - 1)] = c.text(values[slot - 3]);
    run_options options;
    options.trace = true;

    run_result r = run_anchorfs(args, options);

    switch (c.outcome) {
    case number_outcome::protocol:
        expect_protocol_failure(r);
        EXPECT_FALSE(touched_a_path(r)) << "the root was opened although its numbers are malformed";
        break;
    case number_outcome::accepted:
        expect_outcome(r, failure_line("EINVAL", EINVAL), exit_failure);
        EXPECT_TRUE(touched_a_path(r)); // the trace does show an opened root
        break;
    case number_outcome::root_changed:
        expect_outcome(r, failure_line("ROOT_IDENTITY_CHANGED", ESTALE), exit_failure);
        break;
    }
    EXPECT_EQ(entries_of(root.path), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Slots, FrontEnd_RootNumber,
                         testing::Combine(testing::ValuesIn(number_cases), testing::Values(3, 4, 5)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_"
                                    + slot_name(std::get<1>(info.param));
                         });

// ---------------------------------------------------------------- the root check

struct root_case {
    const char* name;
    // Arranges the tree and returns the anchor slots (path, device, inode, uid).
    std::function<std::vector<std::string>(const temp_root&)> arrange;
    std::string line;
    bool unprivileged = false;
};

std::vector<std::string> numbers_of(const std::string& path_slot, const std::string& object)
{
    struct stat status = lstat_of(object);
    return {path_slot, std::to_string(status.st_dev), std::to_string(status.st_ino), std::to_string(status.st_uid)};
}

const root_case root_cases[] = {
    {"LastComponentSymlink_ELOOP",
     [](const temp_root& root) {
         const std::string link = root.beside("link");
         EXPECT_EQ(::symlink(root.path.c_str(), link.c_str()), 0);
         return numbers_of(link, root.path);
     },
     failure_line("ELOOP", ELOOP)},
    {"ReplacedByAnotherDirectory_RootIdentityChanged",
     [](const temp_root& root) {
         std::vector<std::string> anchor = root.anchor();
         EXPECT_EQ(std::rename(root.path.c_str(), root.beside("old").c_str()), 0);
         make_dir(root.path);
         return anchor;
     },
     failure_line("ROOT_IDENTITY_CHANGED", ESTALE)},
    {"RegularFile_ENOTDIR",
     [](const temp_root& root) {
         const std::string file = root.beside("file");
         write_file(file, "x");
         return numbers_of(file, file);
     },
     failure_line("ENOTDIR", ENOTDIR)},
    {"Missing_ENOENT",
     [](const temp_root& root) {
         std::vector<std::string> anchor = root.anchor();
         anchor[0] = root.beside("missing");
         return anchor;
     },
     failure_line("ENOENT", ENOENT)},
    {"OtherOwner_RootIdentityChanged",
     [](const temp_root& root) {
         std::vector<std::string> anchor = root.anchor();
         EXPECT_EQ(::chown(root.path.c_str(), unprivileged_uid(), unprivileged_gid()), 0);
         return anchor;
     },
     failure_line("ROOT_IDENTITY_CHANGED", ESTALE)},
    {"NotSearchable_EACCES",
     [](const temp_root& root) {
         EXPECT_EQ(::chmod(root.container.c_str(), 0700), 0);
         return root.anchor();
     },
     failure_line("EACCES", EACCES), true},
};

class FrontEnd_RootRefused : public testing::TestWithParam<root_case> {};

TEST_P(FrontEnd_RootRefused, ReportsTheRootFailureBeforeTheCommand)
{
    const root_case& c = GetParam();
    temp_root root;
    std::vector<std::string> anchor = c.arrange(root);
    run_options options;
    if (c.unprivileged)
        options.uid = unprivileged_uid();
    options.check_fds = true;

    // A valid ensure-dir: only the root can make it fail.
    run_result r = run_anchorfs(join({{"ensure-dir"}, anchor, {"made"}}), options);

    expect_outcome(r, c.line, exit_failure);
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
    EXPECT_EQ(entries_of(root.path), std::vector<std::string>{});
    EXPECT_FALSE(exists(root.beside("old/made")));
}

INSTANTIATE_TEST_SUITE_P(Roots, FrontEnd_RootRefused, testing::ValuesIn(root_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Only the last component of the root path is protected against links; the
// rest, and a path relative to the working directory, resolve as usual.
TEST(FrontEnd, RootPathThroughLinkAboveOrRelative_Accepted)
{
    temp_root root;
    const std::string hop = root.beside("hop");
    ASSERT_EQ(::symlink(root.container.c_str(), hop.c_str()), 0);

    std::vector<std::string> through_link = root.anchor();
    through_link[0] = hop + "/root";
    run_result linked = run_anchorfs(join({{"ensure-dir"}, through_link, {"made"}}));

    std::vector<std::string> relative = root.anchor();
    relative[0] = "root";
    run_options in_container;
    in_container.cwd = root.container;
    run_result relative_run = run_anchorfs(join({{"ensure-dir"}, relative, {"a"}}), in_container);

    expect_outcome(linked, directory_line_of(root.at("made")), exit_ok);
    expect_outcome(relative_run, directory_line_of(root.at("a")), exit_ok);
}

// ---------------------------------------------------------------- dispatch

struct dispatch_case {
    const char* name;
    std::string command;
    std::vector<std::string> rest;
};

const dispatch_case unmatched_commands[] = {
    {"NoCommandHasSixArguments", "ensure-dir", {}},
    {"EnsureDirWithEightArguments", "ensure-dir", {"made", "x"}},
    {"NameInOtherCase", "ENSURE-DIR", {"made"}},
    {"NameWithTrailingBlank", "ensure-dir ", {"made"}},
    {"PrefixOfName", "ensure", {"made"}},
    {"UnknownName", "no-such-command", {"made"}},
    {"CreateFileWithPrivateCount", "create-file", {"f", "0"}},
    {"CreatePrivateFileWithPlainCount", "create-private-file", {"f", "0", "x"}},
};

class FrontEnd_Unmatched : public testing::TestWithParam<dispatch_case> {};

TEST_P(FrontEnd_Unmatched, EinvalAndTreeUnchanged)
{
    const dispatch_case& c = GetParam();
    temp_root root;
    run_options options;
    options.trace = true;
    options.check_fds = true;

    run_result r = run_anchorfs(root.command(c.command, c.rest), options);

    expect_outcome(r, failure_line("EINVAL", EINVAL), exit_failure);
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
    EXPECT_EQ(entries_of(root.path), std::vector<std::string>{});
    for (const auto& line : r.trace)
        EXPECT_NE(line.rfind("mkdirat ", 0), 0u) << "a handler ran: " << line;
}

INSTANTIATE_TEST_SUITE_P(Commands, FrontEnd_Unmatched, testing::ValuesIn(unmatched_commands),
                         [](const auto& info) { return std::string(info.param.name); });

// The root is checked before the name is looked at.
TEST(FrontEnd, UnknownCommandWithRefusedRoot_ReportsTheRoot)
{
    temp_root root;
    std::vector<std::string> changed = root.command("no-such-command", {"made"});
    changed[3] = std::to_string(root.inode + 1);
    std::vector<std::string> missing = root.command("no-such-command", {"made"});
    missing[1] = root.beside("missing");

    expect_outcome(run_anchorfs(changed), failure_line("ROOT_IDENTITY_CHANGED", ESTALE), exit_failure);
    expect_outcome(run_anchorfs(missing), failure_line("ENOENT", ENOENT), exit_failure);
}

// ---------------------------------------------------------------- handler errors

struct handler_error_case {
    const char* name;
    const char* error;
    std::string line;
};

const handler_error_case handler_errors[] = {
    {"OutsideTable_ENOMEM", "ENOMEM", failure_line("FILESYSTEM_ERROR", ENOMEM)},
    {"OutsideTable_ENAMETOOLONG", "ENAMETOOLONG", failure_line("FILESYSTEM_ERROR", ENAMETOOLONG)},
    {"OutsideTable_EIO", "EIO", failure_line("FILESYSTEM_ERROR", EIO)},
    {"InTable_EPERM", "EPERM", failure_line("EPERM", EPERM)},
    {"InTable_ENOTEMPTY", "ENOTEMPTY", failure_line("ENOTEMPTY", ENOTEMPTY)},
    {"IdentityChanged_ESTALE", "ESTALE", failure_line("IDENTITY_CHANGED", ESTALE)},
};

class FrontEnd_HandlerError : public testing::TestWithParam<handler_error_case> {};

TEST_P(FrontEnd_HandlerError, MapsToCodeWithItsNumber)
{
    const handler_error_case& c = GetParam();
    temp_root root;
    run_options options;
    options.seam.rules = std::string("fail:mkdirat:1:") + c.error;

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    expect_outcome(r, c.line, exit_failure);
    EXPECT_FALSE(exists(root.at("made")));
}

INSTANTIATE_TEST_SUITE_P(Errors, FrontEnd_HandlerError, testing::ValuesIn(handler_errors),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- path components

TEST(FrontEnd, ComponentOf256Bytes_EinvalBeforeAnyWalk)
{
    temp_root root;
    make_dir(root.at("a"));
    const std::string long_name(256, 'n');
    for (const std::string& path : {long_name, "a/" + long_name, long_name + "/a"}) {
        run_result r = run_anchorfs(root.command("ensure-dir", {path}));
        expect_outcome(r, failure_line("EINVAL", EINVAL), exit_failure);
    }
    EXPECT_EQ(entries_of(root.path), std::vector<std::string>{"a"});
    EXPECT_EQ(entries_of(root.at("a")), std::vector<std::string>{});
}

TEST(FrontEnd, ComponentOf255Bytes_Created)
{
    temp_root root;
    make_dir(root.at("a"));
    const std::string path = "a/" + std::string(255, 'n');

    run_result r = run_anchorfs(root.command("ensure-dir", {path}));

    ASSERT_TRUE(exists(root.at(path)));
    expect_outcome(r, directory_line_of(root.at(path)), exit_ok);
}

// ---------------------------------------------------------------- hostile process environment

// What the parent (or the machine) does to a run besides its arguments, and
// what the run must answer: the line delivered whole with its status, or exit
// 11; the tree as the answer says.
enum class command_kind { create_file, ensure_dir, bookmark_parent, read_private_file };

struct process_case {
    const char* name;
    command_kind command;
    std::size_t size;                           // of the file created or read
    std::function<void(run_options&)> hostile;  // what is done to the run
    int exit_code;
    bool done;                                  // the command took effect
    bool whole_output;                          // the run printed its whole success output
};

constexpr unsigned long kib = 1024;

const process_case process_cases[] = {
    {"StdoutFull_CreateFile", command_kind::create_file, 10,
     [](run_options& o) { o.stdout_file = "/dev/full"; }, exit_undelivered, true, false},
    {"StdoutFull_EnsureDir", command_kind::ensure_dir, 0,
     [](run_options& o) { o.stdout_file = "/dev/full"; }, exit_undelivered, true, false},
    {"StdoutFull_BookmarkParent", command_kind::bookmark_parent, 0,
     [](run_options& o) { o.stdout_file = "/dev/full"; }, exit_undelivered, true, false},
    {"StdoutClosed_CreateFile_LineNotWrittenIntoTheFile", command_kind::create_file, 10,
     [](run_options& o) { o.close_stdout = true; }, exit_undelivered, true, false},
    {"StdoutNonBlockingSlowReader_ReadPrivateFile1MiB", command_kind::read_private_file, 1024 * kib,
     [](run_options& o) { o.slow_stdout = true; }, 0, true, true},
    {"FileSizeLimitOnStdout_ReadPrivateFile1MiB", command_kind::read_private_file, 1024 * kib,
     [](run_options& o) {
         o.stdout_file = "fsize.out"; // beside the root: unique per run, removed with it
         o.limits = {{RLIMIT_FSIZE, 64 * kib}};
     },
     exit_undelivered, true, false},
    {"StdinNonBlockingInTwoParts_CreateFile", command_kind::create_file, 100000,
     [](run_options& o) { o.split_stdin = true; }, 0, true, true},
    {"StdinReadEagain_CreateFile", command_kind::create_file, 100000,
     [](run_options& o) { o.seam.rules = "fail:read:1:EAGAIN"; }, 0, true, true},
    {"StdoutWriteEagain_EnsureDir", command_kind::ensure_dir, 0,
     [](run_options& o) { o.seam.rules = "fail:write:1:EAGAIN"; }, 0, true, true},
    {"StdoutWriteEintr_EnsureDir", command_kind::ensure_dir, 0,
     [](run_options& o) { o.seam.rules = "fail:write:1:EINTR"; }, 0, true, true},
    {"StdoutWriteFails_EnsureDir", command_kind::ensure_dir, 0,
     [](run_options& o) { o.seam.rules = "fail:write:1:EIO"; }, exit_undelivered, true, false},
    {"Stack64KiB_CreateFile", command_kind::create_file, 100000,
     [](run_options& o) { o.limits = {{RLIMIT_STACK, 64 * kib}}; }, 0, true, true},
    {"DescriptorLimit3_EnsureDir_NoLoaderMessage", command_kind::ensure_dir, 0,
     [](run_options& o) { o.limits = {{RLIMIT_NOFILE, 3}}; }, exit_failure, false, false},
};

// Each catchable termination signal arrives while create-file is half-way
// through writing its content.
const int termination_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2,
                                   SIGALRM, SIGPIPE, SIGXFSZ, SIGIO};

void PrintTo(const process_case& c, std::ostream* os)
{
    *os << c.name;
}

class FrontEnd_HostileProcess : public testing::TestWithParam<process_case> {};

std::string content_of_size(std::size_t size)
{
    std::string content(size, 'c');
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<char>('a' + i % 23);
    return content;
}

void expect_hostile_run(const process_case& c, const std::function<void(run_options&)>& hostile)
{
    temp_root root;
    const std::string content = content_of_size(c.size);
    run_options options;
    std::vector<std::string> args;
    switch (c.command) {
    case command_kind::create_file:
        args = root.command("create-file", {"f", "420", std::to_string(c.size)});
        options.stdin_data = content;
        break;
    case command_kind::ensure_dir: args = root.command("ensure-dir", {"made"}); break;
    case command_kind::bookmark_parent:
        make_dir(root.at("made"));
        args = root.command("bookmark-parent", {"made/f"});
        break;
    case command_kind::read_private_file:
        write_file(root.at("f"), content, 0600);
        args = root.command("read-private-file", {"f", std::to_string(c.size)});
        break;
    }
    hostile(options);
    // A relative standard output file is made beside the scratch root, so it
    // has a name of its own and goes away with the root.
    if (options.stdout_file && options.stdout_file->front() != '/')
        options.stdout_file = root.beside(*options.stdout_file);

    run_result r = run_anchorfs(args, options);

    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.err, "");
    std::string whole;
    switch (c.command) {
    case command_kind::create_file:
        EXPECT_EQ(exists(root.at("f")), c.done);
        if (exists(root.at("f"))) {
            EXPECT_EQ(read_file(root.at("f")), content); // never the line, never a part
        }
        whole = plain_line;
        break;
    case command_kind::ensure_dir:
        EXPECT_EQ(exists(root.at("made")), c.done);
        whole = c.done ? directory_line_of(root.at("made")) : "";
        break;
    case command_kind::bookmark_parent: whole = "{\"ok\":true,\"bookmark\":\""; break;
    case command_kind::read_private_file: whole = "{\"ok\":true,\"size\":\"" + std::to_string(c.size) + "\"}\n" + content; break;
    }
    if (c.whole_output && c.command == command_kind::bookmark_parent)
        EXPECT_EQ(r.out.rfind(whole, 0), 0u);
    else if (c.whole_output)
        EXPECT_EQ(r.out, whole);
    else if (c.exit_code == exit_failure)
        EXPECT_EQ(r.out, failure_line("FILESYSTEM_ERROR", EMFILE));
    else
        EXPECT_LT(r.out.size(), whole.size() + (c.command == command_kind::bookmark_parent ? 1000 : 0));
}

TEST_P(FrontEnd_HostileProcess, LineDeliveredOrExit11_TreeAsAnswered)
{
    if (sanitized_build() && std::string_view(GetParam().name).starts_with("DescriptorLimit"))
        GTEST_SKIP() << "the sanitizer runtime opens descriptors of its own before main";
    expect_hostile_run(GetParam(), GetParam().hostile);
}

INSTANTIATE_TEST_SUITE_P(Conditions, FrontEnd_HostileProcess, testing::ValuesIn(process_cases),
                         [](const auto& info) { return std::string(info.param.name); });

class FrontEnd_TerminationSignal : public testing::TestWithParam<int> {};

TEST_P(FrontEnd_TerminationSignal, MidContent_RunFinishesWhole)
{
    const process_case c = {"", command_kind::create_file, 100000, nullptr, 0, true, true};
    expect_hostile_run(c, [](run_options& o) {
        o.seam.rules = "pause:write:1";
        o.signal_at_pause = GetParam();
    });
}

INSTANTIATE_TEST_SUITE_P(Signals, FrontEnd_TerminationSignal, testing::ValuesIn(termination_signals),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

} // namespace
