// The seam and the harness: pauses, injected failures, kills, traces and the
// descriptor check, first against the binary, then against the seam driver
// (driver.cpp) for what the binary cannot show: its environment, errno across
// the seam, the mode of variadic opens, large standard input.

#include "support/checks.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;

run_result run_driver(const std::vector<std::string>& args, const run_options& options = {})
{
    return run_program(AREA_DRIVER, args, options);
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted)
{
    for (const auto& line : lines)
        if (line == wanted)
            return true;
    return false;
}

// ---- against the binary ----

TEST(SeamPause, EnsureDir_RootReplacedAfterMkdirat_ReportsRacePreservedAndKeepsDirectory)
{
    temp_root root;
    const std::string moved = root.beside("moved-root");
    run_options options;
    options.seam.rules = "pause:mkdirat:1";
    std::vector<std::string> events;
    options.seam.on_pause = [&](const std::string& event) {
        events.push_back(event);
        // The adversary: move the root away and put a fresh directory in its place.
        ASSERT_EQ(std::rename(root.path.c_str(), moved.c_str()), 0);
        make_dir(root.path);
    };

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    EXPECT_EQ(r.out, failure_line("RACE_PRESERVED", ESTALE));
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(events, std::vector<std::string>{"mkdirat 1"});
    EXPECT_EQ(r.pauses, events);
    EXPECT_TRUE(S_ISDIR(lstat_of(moved + "/made").st_mode));
    EXPECT_FALSE(exists(root.at("made")));
}

TEST(SeamPause, OnPauseMayRunTheBinaryAgain)
{
    temp_root root;
    run_options options;
    options.seam.rules = "pause:fsync:1";
    run_result inner;
    options.seam.on_pause = [&](const std::string&) { inner = run_anchorfs(root.command("ensure-dir", {"second"})); };

    run_result outer = run_anchorfs(root.command("ensure-dir", {"first"}), options);

    EXPECT_EQ(outer.out, directory_line_of(root.at("first")));
    EXPECT_EQ(outer.exit_code, 0);
    EXPECT_EQ(inner.out, directory_line_of(root.at("second")));
    EXPECT_EQ(inner.exit_code, 0);
}

struct injected_case {
    const char* rules;
    std::string line;
    bool directory_made;
};

class SeamFail : public ::testing::TestWithParam<injected_case> {};

TEST_P(SeamFail, EnsureDir_InjectedFailure_ReportsItsErrorAndLeaksNothing)
{
    const injected_case& c = GetParam();
    temp_root root;
    run_options options;
    options.seam.rules = c.rules;
    options.check_fds = true;

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    EXPECT_EQ(r.out, c.line);
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
    EXPECT_EQ(exists(root.at("made")), c.directory_made);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SeamFail,
    ::testing::Values(injected_case{"fail:mkdirat:1:EACCES", failure_line("EACCES", EACCES), false},
                      injected_case{"fail:mkdirat:1:13", failure_line("EACCES", EACCES), false},
                      injected_case{"fail:mkdirat:1:ENOSPC", failure_line("FILESYSTEM_ERROR", ENOSPC), false},
                      injected_case{"fail:openat:1:ENOENT", failure_line("ENOENT", ENOENT), false},
                      injected_case{"fail:openat64:1:EMFILE", failure_line("FILESYSTEM_ERROR", EMFILE), false},
                      injected_case{"fail:fsync:1:EIO", failure_line("FILESYSTEM_ERROR", EIO), true},
                      injected_case{"fail:fstatfs:1:EIO;fail:dup:1:EMFILE", failure_line("FILESYSTEM_ERROR", EMFILE),
                                    false}));

TEST(SeamKill, EnsureDir_KilledAfterMkdirat_NoOutputAndDirectoryStays)
{
    temp_root root;
    run_options options;
    options.seam.rules = "kill:mkdirat:1";

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(S_ISDIR(lstat_of(root.at("made")).st_mode));
}

TEST(SeamTrace, EnsureDir_TraceShowsMkdiratOutcome)
{
    temp_root root;
    run_options options;
    options.trace = true;

    run_result created = run_anchorfs(root.command("ensure-dir", {"made"}), options);
    run_result existing = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    ASSERT_EQ(created.exit_code, 0);
    EXPECT_TRUE(contains(created.trace, "mkdirat 0 0"));
    EXPECT_TRUE(contains(created.trace, "fsync 0 0"));
    EXPECT_TRUE(contains(created.trace, "fstatfs 0 0"));
    ASSERT_EQ(existing.exit_code, 0);
    EXPECT_TRUE(contains(existing.trace, "mkdirat -1 " + std::to_string(EEXIST)));
    EXPECT_EQ(existing.out, created.out);
}

TEST(SeamFdCheck, EnsureDir_Success_LeaksNoDescriptor)
{
    temp_root root;
    run_options options;
    options.check_fds = true;

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    EXPECT_EQ(r.out, directory_line_of(root.at("made")));
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
}

TEST(SeamRules, RuleThatNeverFires_IsReported)
{
    temp_root root;
    run_options options;
    options.seam.rules = "pause:fsync:5;fail:renameat2:1:EIO";
    options.allow_unfired_rules = true;

    run_result r = run_anchorfs(root.command("ensure-dir", {"made"}), options);

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.unfired_rules, (std::vector<std::string>{"pause:fsync:5", "fail:renameat2:1:EIO"}));
    EXPECT_EQ(r.pauses, std::vector<std::string>{});
}

TEST(SeamRules, MalformedPlan_Throws)
{
    temp_root root;
    for (const char* rules : {"pause:mkdir:1", "fail:mkdirat:1:ENOTANERROR", "pause:mkdirat:0", "stop:mkdirat:1",
                              "fail:mkdirat:1"}) {
        run_options options;
        options.seam.rules = rules;
        EXPECT_THROW(run_anchorfs(root.command("ensure-dir", {"made"}), options), std::runtime_error) << rules;
    }
    EXPECT_FALSE(exists(root.at("made")));
}

// ---- against the helper ----

TEST(SeamHarness, RunWithoutSeam_HasEmptyEnvironment)
{
    run_result r = run_driver({"environment"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
}

TEST(SeamHarness, RunWithSeam_HasOnlyTheSeamVariables)
{
    run_options options;
    options.seam.rules = "fail:close:99:EIO";
    options.allow_unfired_rules = true;
    options.trace = true;
    options.check_fds = true;

    run_result r = run_driver({"environment"}, options);

    // LD_PRELOAD names the seam last (a sanitizer build puts its runtime first).
    const std::string preload_end = std::string(ANCHORFS_SEAM_LIBRARY) + "\n";
    const std::size_t rest = r.out.find(preload_end);
    ASSERT_EQ(r.out.rfind("LD_PRELOAD=", 0), 0u) << r.out;
    ASSERT_NE(rest, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(rest + preload_end.size()),
              "ANCHORFS_SEAM=fail:close:99:EIO\nANCHORFS_SEAM_NOTIFY_FD=900\nANCHORFS_SEAM_RESUME_FD=901\n"
              "ANCHORFS_SEAM_TRACE_FD=902\nANCHORFS_SEAM_FDCHECK_FD=902\n");
    EXPECT_EQ(r.out.find('\n'), rest + preload_end.size() - 1); // LD_PRELOAD is the first line
}

TEST(SeamHarness, FdCheck_ReportsDescriptorLeftOpen_AndNothingInherited)
{
    run_options options;
    options.check_fds = true;
    run_result r = run_driver({"leak"}, options);
    EXPECT_EQ(r.out, "3\n");
    EXPECT_EQ(r.leaked_fds, std::vector<int>{3});
}

TEST(SeamHarness, Aliases_CountUnderOneName)
{
    struct alias_case {
        const char* rules;
        const char* out;
    };
    for (const alias_case& c :
         {alias_case{"fail:open:2:EIO;fail:openat64:1:ENOENT", "open64 ok\nopen 5\nopenat64 2\nopenat ok\n"},
          alias_case{"fail:open64:1:EACCES;fail:openat:2:EPERM", "open64 13\nopen ok\nopenat64 ok\nopenat 1\n"}}) {
        run_options options;
        options.seam.rules = c.rules;
        run_result r = run_driver({"aliases"}, options);
        EXPECT_EQ(r.out, c.out) << c.rules;
    }
}

TEST(SeamHarness, Errno_KeptAcrossSeamBookkeepingAndPause)
{
    const std::string expected = std::to_string(EDOM) + " " + std::to_string(EDOM) + " " + std::to_string(EBADF) + "\n";
    run_options plain;
    run_options traced;
    traced.trace = true;
    traced.seam.rules = "pause:fstat:1;pause:readdir:1;pause:close:1";

    EXPECT_EQ(run_driver({"errno"}, plain).out, expected);
    run_result r = run_driver({"errno"}, traced);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.pauses, (std::vector<std::string>{"fstat 1", "readdir 1", "close 1"}));
    EXPECT_TRUE(contains(r.trace, "close -1 " + std::to_string(EBADF)));
}

TEST(SeamHarness, VariadicOpen_PassesCreationMode)
{
    temp_root root;
    run_options options;
    options.trace = true;
    run_result r = run_driver({"create-modes", root.at("a"), root.at("b")}, options);
    EXPECT_EQ(r.out, "640 604\n");
    EXPECT_TRUE(contains(r.trace, "openat 3 0") || contains(r.trace, "open 3 0"));
}

TEST(SeamHarness, FailFflush_ReturnsEofWithError)
{
    run_options options;
    options.seam.rules = "fail:fflush:1:ENOSPC";
    run_result r = run_driver({"fflush"}, options);
    EXPECT_EQ(r.err, "-1 " + std::to_string(ENOSPC) + "\n");
    EXPECT_EQ(r.out, "held"); // still buffered, written at exit
}

TEST(SeamHarness, GetdentsAndFcntl_CountOnlyTheProgramsOwnCalls)
{
    run_options options;
    options.trace = true;
    run_result plain = run_driver({"listing-and-flags"}, options);
    EXPECT_EQ(plain.out, "getdents64 ok\ngetdents64 ok\nfcntl ok\nfcntl ok\n");

    options.trace = false;
    options.seam.rules = "fail:getdents64:1:EIO;fail:fcntl:1:EMFILE";
    run_result failed = run_driver({"listing-and-flags"}, options);
    EXPECT_EQ(failed.out, "getdents64 " + std::to_string(EIO) + "\ngetdents64 ok\nfcntl " +
                              std::to_string(EMFILE) + "\nfcntl ok\n");
}

TEST(SeamHarness, LargeStandardInput_EchoedWithoutDeadlock)
{
    std::string input(64 << 20, '\0');
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<char>((i * 7919) >> 5);
    run_options options;
    options.stdin_data = input;
    options.trace = true;

    run_result r = run_driver({"echo"}, options);

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), input.size());
    EXPECT_TRUE(r.out == input);
}

TEST(SeamHarness, StandardInputFromFile)
{
    temp_root root;
    write_file(root.at("input"), "from a file\n");
    run_options options;
    options.stdin_file = root.at("input");
    EXPECT_EQ(run_driver({"echo"}, options).out, "from a file\n");
}

TEST(SeamHarness, CredentialsAndUmask_AppliedBeforeExec)
{
    run_options options;
    options.uid = unprivileged_uid();
    options.umask = 027;
    run_result r = run_driver({"credentials"}, options);
    EXPECT_EQ(r.out, std::to_string(unprivileged_uid()) + " " + std::to_string(unprivileged_gid()) + " 0 027\n");
}

// A build tree below a directory that only root may search (a clone in a
// directory from mktemp -d) still serves runs as another user, seam and all.
TEST(SeamHarness, OtherUser_RunsAProgramItCouldNotReach)
{
    temp_root root;
    ASSERT_EQ(::mkdir(root.at("private").c_str(), 0700), 0);
    const std::string program = root.at("private/seam_driver");
    {
        std::ifstream in(AREA_DRIVER, std::ios::binary);
        std::ofstream out(program, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    run_options options;
    options.uid = unprivileged_uid();
    options.umask = 022;
    EXPECT_EQ(run_program(program, {"credentials"}, options).out,
              std::to_string(unprivileged_uid()) + " " + std::to_string(unprivileged_gid()) + " 0 022\n");

    options.seam.rules = "fail:getdents64:1:EIO";
    EXPECT_EQ(run_program(program, {"listing-and-flags"}, options).out,
              "getdents64 " + std::to_string(EIO) + "\ngetdents64 ok\nfcntl ok\nfcntl ok\n");
}

TEST(SeamHarness, TempRoot_RemovedDespiteClosedModesLinksAndMounts)
{
    std::string container;
    {
        temp_root outside;
        write_file(outside.at("keep"), "outside");
        {
            temp_root root(unprivileged_uid());
            container = root.container;
            EXPECT_EQ(root.uid, unprivileged_uid());
            make_dir(root.at("locked"), 0755);
            make_dir(root.at("locked/inner"), 0);
            write_file(root.at("locked/inner/file"), "x", 0);
            ::chmod(root.at("locked").c_str(), 0);
            ASSERT_EQ(::symlink(outside.path.c_str(), root.at("link").c_str()), 0);
            int level = ::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            for (int i = 0; i < 300 && level >= 0; ++i) {
                ASSERT_EQ(::mkdirat(level, "d", 0700), 0);
                int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                ::close(level);
                level = next;
            }
            ASSERT_GE(level, 0);
            ::close(level);
            make_dir(root.at("mnt"));
            tmpfs_mount mount(root.at("mnt"));
            if (mount.mounted())
                write_file(root.at("mnt/on-tmpfs"), "y");
            mount.ok = false; // left mounted: the scratch root must cope
        }
        EXPECT_FALSE(exists(container));
        EXPECT_EQ(read_file(outside.at("keep")), "outside");
    }
}

TEST(SeamHarness, DescriptionArgs_NameTheFileExactly)
{
    temp_root root;
    write_file(root.at("f"), "abc", 0640);
    struct stat status = lstat_of(root.at("f"));
    std::vector<std::string> slots = description_args(root.at("f"));
    ASSERT_EQ(slots.size(), 8u);
    EXPECT_EQ(slots[1], std::to_string(status.st_ino));
    EXPECT_EQ(slots[2], "1");
    EXPECT_EQ(slots[4], std::to_string(S_IFREG | 0640));
    EXPECT_EQ(slots[5], "3");
    EXPECT_EQ(slots[6], std::to_string(status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec));
    EXPECT_EQ(slots[7], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(std::vector<std::string>(slots.begin(), slots.begin() + 5), identity_args(root.at("f")));
}

} // namespace
