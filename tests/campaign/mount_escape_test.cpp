// Hostile mounts around a run.
//
// Every command, arranged as in the campaigns, then run with the objects it
// names moved outside the root and bind-mounted back onto their names (one
// row per command and per form: the directories on the way, or the files at
// the leaves). A bind mount of the same file system keeps the device number,
// so only the mount tells that the name leads outside. The mounts live in a
// private mount namespace of the run alone; nothing outside may change and
// no byte of an outside file may reach standard output.

#include "campaign/command_cases.hpp"

#include <cctype>

namespace anchorfs::test::campaign {
namespace {

enum class mounted { directories, files };

struct escape_row {
    std::string command;
    mounted form;
};

std::string form_name(mounted form)
{
    return form == mounted::directories ? "Directories" : "Files";
}

std::string shell_quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool private_namespaces_allowed()
{
    static const bool allowed = [] {
        run_result r = run_program("/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/true"});
        return r.exit_code == 0;
    }();
    return allowed;
}

// Moves what the row mounts to `escaped` beside the root and returns the
// mount commands. Directories: every top-level directory goes into one
// outside directory mounted on "m", and the row's paths are rewritten to lead
// through "m", so that the names a command pairs (source and destination,
// staging and quarantine) are on one mount. Files: every regular file goes
// outside and is mounted on an empty placeholder at its own name.
std::string move_out(const scene& s, mounted form, const std::string& escaped, std::vector<std::string>& args)
{
    make_dir(escaped);
    std::vector<std::string> names;
    for (const auto& [relative, e] : s.now()) {
        bool top_directory = e.type == 'd' && relative.find('/') == std::string::npos;
        if ((form == mounted::directories && top_directory) || (form == mounted::files && e.type == 'f'))
            names.push_back(relative);
    }
    auto move = [&](const std::string& relative, const std::string& away) {
        if (::rename(s.at(relative).c_str(), away.c_str()) != 0)
            throw std::runtime_error("rename " + relative);
    };
    auto bind = [](const std::string& from, const std::string& onto) {
        return "/bin/mount --bind " + shell_quoted(from) + " " + shell_quoted(onto) + " && ";
    };
    if (form == mounted::directories) {
        for (const std::string& top : names) {
            move(top, escaped + "/" + top);
            for (std::string& arg : args) {
                if (arg == top || arg.rfind(top + "/", 0) == 0)
                    arg = "m/" + arg;
            }
        }
        make_dir(s.at("m"));
        return bind(escaped, s.at("m"));
    }
    std::string script;
    int count = 0;
    for (const std::string& relative : names) {
        const std::string away = escaped + "/" + std::to_string(++count);
        struct stat status = lstat_of(s.at(relative));
        move(relative, away);
        write_file(s.at(relative), "", status.st_mode & 07777);
        script += bind(away, s.at(relative));
    }
    return script;
}

// Runs the command in a private mount namespace after the shell steps in
// `setup` (each followed by " && ").
run_result run_in_namespace(const scene& s, const std::string& command, const std::vector<std::string>& command_args,
                            const std::string& setup, const std::string& input = {})
{
    std::vector<std::string> args{"-m", "--propagation", "private", "/bin/sh", "-c",
                                  setup + "exec \"$0\" \"$@\"", ANCHORFS_BINARY};
    for (const std::string& arg : s.root.command(command, command_args))
        args.push_back(arg);
    run_options options;
    options.stdin_data = input;
    return run_program("/usr/bin/unshare", args, options);
}

run_result run_in_namespace(const scene& s, const command_case& c, const std::vector<std::string>& command_args,
                            const std::string& setup)
{
    return run_in_namespace(s, c.command(), command_args, setup, c.input);
}

// "Files" and "rename-excl" -> "Filesrename_excl".
std::string test_name(std::string prefix, const std::string& command)
{
    for (char ch : command)
        prefix += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return prefix;
}

class MountEscape : public ::testing::TestWithParam<escape_row> {};

TEST_P(MountEscape, ObjectsOutsideTheRootStayUntouchedAndUnread)
{
    if (!private_namespaces_allowed())
        GTEST_SKIP() << "private mount namespaces are refused here";
    const escape_row& row = GetParam();
    scene s;
    std::unique_ptr<command_case> c = arranged(case_named(row.command), s);
    c->prepare_recovery(s);
    std::vector<std::string> command_args = c->args;
    const std::string mounts = move_out(s, row.form, s.root.beside("escaped"), command_args);
    const tree outside_before = s.outside_now();

    run_result r = run_in_namespace(s, *c, command_args, mounts);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(s.outside_now(), outside_before);
    for (const auto& [path, e] : outside_before) {
        if (e.type == 'f' && !e.content.empty()) {
            EXPECT_EQ(r.out.find(e.content), std::string::npos) << "the bytes of " << path << " reached the output";
        }
    }
    // Every command names a directory below the root, so with the directories
    // mounted each one must refuse; with the files mounted, a command that
    // only creates new names may succeed, inside the root.
    if (row.form == mounted::directories) {
        EXPECT_EQ(r.out.rfind("{\"ok\":false", 0), 0u) << r.out;
    }
}

std::vector<escape_row> escape_rows()
{
    std::vector<escape_row> rows;
    for (mounted form : {mounted::directories, mounted::files}) {
        for (const auto& [command, make] : all_cases())
            rows.push_back({command, form});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, MountEscape, ::testing::ValuesIn(escape_rows()),
                         [](const ::testing::TestParamInfo<escape_row>& info) {
                             return test_name(form_name(info.param.form), info.param.command);
                         });

// remove-private-tree of a name with a directory mounted on it. A directory
// of another file system is not a directory of the private store (EINVAL); a
// bind mount of the root's own file system passes the device and owner test
// and is refused as a mount. Nothing outside is hardened or deleted.
struct mounted_top_row {
    const char* name;
    bool bind; // false: a fresh tmpfs
    std::string code;
    int error;
};

class MountedTreeTop : public ::testing::TestWithParam<mounted_top_row> {};

TEST_P(MountedTreeTop, RemovePrivateTree_RefusedWithItsCodeAndNothingOutsideChanges)
{
    if (!private_namespaces_allowed())
        GTEST_SKIP() << "private mount namespaces are refused here";
    const mounted_top_row& row = GetParam();
    scene s;
    make_dir(s.at("p"), 0700);
    make_dir(s.at("p/t"), 0700);
    const std::string away = s.root.beside("away");
    make_dir(away, 0755);
    write_file(away + "/f", "kept\n", 0644);
    const std::string onto = shell_quoted(s.at("p/t"));
    const std::string mount = row.bind ? "/bin/mount --bind " + shell_quoted(away) + " " + onto
                                       : "/bin/mount -t tmpfs -o mode=0755 none " + onto + " && echo kept > "
                                             + onto + "/f";
    const tree before = s.now();
    const tree outside_before = s.outside_now();

    run_result r = run_in_namespace(s, "remove-private-tree", {"p/t", "16", "4"}, mount + " && ");

    EXPECT_EQ(r.out, failure_line(row.code, row.error));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(s.now(), before);
    EXPECT_EQ(s.outside_now(), outside_before);
}

INSTANTIATE_TEST_SUITE_P(Mounts, MountedTreeTop,
                         ::testing::Values(mounted_top_row{"OtherFileSystem", false, "EINVAL", EINVAL},
                                           mounted_top_row{"BindOfTheRootsFileSystem", true, "IDENTITY_CHANGED",
                                                           ESTALE}),
                         [](const ::testing::TestParamInfo<mounted_top_row>& info) { return info.param.name; });

// /proc replaced in the run's private mount namespace. A command that will
// need a descriptor path must refuse before it changes anything, and the same
// command run afterwards with the real /proc settles the tree as usual.
struct proc_row {
    std::string command;
    const char* replacement; // the shell step that covers /proc
    const char* name;
};

class UntrustedProc : public ::testing::TestWithParam<proc_row> {};

TEST_P(UntrustedProc, RefusedBeforeAnyChangeThenRunsWithTheRealProc)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer runtime reads /proc before main";
    if (!private_namespaces_allowed())
        GTEST_SKIP() << "private mount namespaces are refused here";
    const proc_row& row = GetParam();
    scene s;
    std::unique_ptr<command_case> c = arranged(case_named(row.command), s);
    c->prepare_recovery(s);
    const tree before = s.now();

    run_result refused = run_in_namespace(s, *c, c->args, std::string(row.replacement) + " && ");

    EXPECT_EQ(refused.out, failure_line("FILESYSTEM_ERROR", EOPNOTSUPP));
    EXPECT_EQ(refused.err, "");
    EXPECT_EQ(s.now(), before);
    EXPECT_TRUE(s.outside_untouched());
    EXPECT_TRUE(c->success_output(c->run(s), s));
}

std::vector<proc_row> proc_rows()
{
    std::vector<proc_row> rows;
    for (const char* command : {"unlink-checked", "link-excl", "create-file", "create-private-file-staged",
                                "remove-private-file", "remove-private-tree", "remove-private-staging-file",
                                "recover-unlink", "recover-link", "read-external-file", "recover-rename",
                                "recover-swap"}) {
        rows.push_back({command, "/bin/mount -t tmpfs none /proc", "EmptyTmpfs"});
        // A procfs, but one process's directory: no "self" that leads to the run.
        rows.push_back({command, "/bin/mount --bind /proc/1 /proc", "ProcessDirectory"});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Commands, UntrustedProc, ::testing::ValuesIn(proc_rows()),
                         [](const ::testing::TestParamInfo<proc_row>& info) {
                             return test_name(info.param.name, info.param.command);
                         });

} // namespace
} // namespace anchorfs::test::campaign
