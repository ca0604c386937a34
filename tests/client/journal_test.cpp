// Operation records, journals and settlement in the C++ client, driven by one
// table of operations: each row prepares a record in a scratch root, says what
// the tree looks like before and after the operation and which crash states
// it can be left in. The same rows check that a record written by the Python
// client is settled here and the other way round.

#include "support/harness.hpp"

#include <anchorfs/journal.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace client = anchorfs::client;
using namespace anchorfs::test;
using client::Outcome;

namespace {

std::vector<std::string> names_in(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(directory.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

bool holds_text(const temp_root& root, const std::string& relative, std::string_view text)
{
    return exists(root.at(relative)) && read_file(root.at(relative)) == text;
}

client::FileDescription describe(const temp_root& root, const std::string& relative)
{
    client::DescribeFileResult described = client::describe_file_at(AT_FDCWD, root.at(relative));
    EXPECT_TRUE(described.ok()) << relative;
    return described.description;
}

using Tree = std::function<bool(const temp_root&)>;
using Crash = std::function<void(const temp_root&, const client::Record&)>;

struct Midway {
    std::string label;
    Crash crash;
    Outcome outcome;
};

struct Row {
    std::string name;
    std::function<void(const temp_root&)> build;
    std::function<client::PrepareResult(const client::Helper&, const client::RootAnchor&, const temp_root&)> prepare;
    std::string python_prepare; // the same record prepared by the Python client (h, root, at(relative))
    Tree before;
    Tree after;
    std::vector<Midway> midway = {};
    Outcome not_run = Outcome::nothing_to_do;
    Outcome ran = Outcome::undone;
    bool redoable = true;
    std::string content = {};
};

void file_a(const temp_root& root) { write_file(root.at("a"), "A"); }

bool staging_gone(const temp_root& root)
{
    for (const std::string& name : names_in(root.at("p"))) {
        if (name.rfind(client::staging_prefix, 0) == 0)
            return false;
    }
    return true;
}

const std::vector<Row>& rows()
{
    static const std::vector<Row> table = {
        {"rename-excl", file_a,
         [](auto& h, auto& r, auto& t) { return client::prepare_rename_excl(h, r, "a", "d/b", describe(t, "a")); },
         "j.prepare_rename_excl(h, root, 'a', 'd/b', at('a'))",
         [](auto& t) { return holds_text(t, "a", "A") && !exists(t.at("d/b")); },
         [](auto& t) { return holds_text(t, "d/b", "A") && !exists(t.at("a")); }},
        {"rename-swap", [](auto& t) { file_a(t); write_file(t.at("d/b"), "B"); },
         [](auto& h, auto& r, auto& t) {
             return client::prepare_rename_swap(h, r, "a", "d/b", describe(t, "a"), describe(t, "d/b"));
         },
         "j.prepare_rename_swap(h, root, 'a', 'd/b', at('a'), at('d/b'))",
         [](auto& t) { return holds_text(t, "a", "A") && holds_text(t, "d/b", "B"); },
         [](auto& t) { return holds_text(t, "a", "B") && holds_text(t, "d/b", "A"); }},
        {"link-excl", file_a,
         [](auto& h, auto& r, auto& t) { return client::prepare_link_excl(h, r, "a", "d/b", describe(t, "a")); },
         "j.prepare_link_excl(h, root, 'a', 'd/b', at('a'))",
         [](auto& t) { return lstat_of(t.at("a")).st_nlink == 1 && names_in(t.at("d")).empty(); },
         [](auto& t) { return exists(t.at("d/b")) && lstat_of(t.at("d/b")).st_ino == lstat_of(t.at("a")).st_ino; },
         {{"link under its staging name",
           [](auto& t, auto& r) { ASSERT_EQ(::link(t.at("a").c_str(), t.at(r.staging.path).c_str()), 0); },
           Outcome::undone}}},
        {"unlink-checked", file_a,
         [](auto& h, auto& r, auto& t) { return client::prepare_unlink_checked(h, r, "a", describe(t, "a"), "d"); },
         "j.prepare_unlink_checked(h, root, 'a', at('a'), scratch='d')",
         [](auto& t) { return holds_text(t, "a", "A"); },
         [](auto& t) { return !exists(t.at("a")) && names_in(t.at("d")).empty(); },
         {{"file under its staging name",
           [](auto& t, auto& r) { ASSERT_EQ(::rename(t.at("a").c_str(), t.at(r.staging.path).c_str()), 0); },
           Outcome::completed},
          {"file under its quarantine name",
           [](auto& t, auto& r) { ASSERT_EQ(::rename(t.at("a").c_str(), t.at(r.quarantine.path).c_str()), 0); },
           Outcome::completed}},
         Outcome::completed, Outcome::completed, false},
        {"create-private-file-staged", [](auto&) {},
         [](auto&, auto& r, auto&) { return client::prepare_create_private_file_staged(r, "p/settings", "theme=dark\n"); },
         "j.prepare_create_private_file_staged(root, 'p/settings', b'theme=dark\\n')",
         [](auto& t) { return !exists(t.at("p/settings")) && staging_gone(t); },
         [](auto& t) { return holds_text(t, "p/settings", "theme=dark\n") && staging_gone(t); },
         {{"half a file under its staging name",
           [](auto& t, auto& r) { write_file(t.at(r.staging.path), "half", 0600); }, Outcome::undone}},
         Outcome::nothing_to_do, Outcome::completed, false, "theme=dark\n"},
    };
    return table;
}

class Journalled : public ::testing::Test {
protected:
    temp_root root;
    client::Helper helper{ANCHORFS_BINARY, {}, {}};

    client::RootAnchor anchor() const { return {root.path, root.device, root.inode, root.uid}; }

    void SetUp() override
    {
        make_dir(root.at("d"), 0755);
        make_dir(root.at("p"), 0700);
    }

    client::Record prepared(const Row& row)
    {
        row.build(root);
        client::PrepareResult p = row.prepare(helper, anchor(), root);
        EXPECT_TRUE(p.ok()) << p.failure.line;
        return p.record;
    }

    client::Journal journal()
    {
        client::OpenJournalResult opened = client::open_journal(helper, anchor());
        EXPECT_TRUE(opened.ok()) << opened.result.line;
        return opened.journal;
    }

    std::vector<std::string> journal_names() const { return names_in(root.at(std::string(client::journal_directory))); }

    run_result python(std::vector<std::string> args)
    {
        // The Python client, run with no environment: writes (and runs) a record of one row, or settles a journal.
        args.insert(args.begin(), {"-B", ANCHORFS_PYTHON_SIDE, ANCHORFS_PYTHON_PACKAGE, ANCHORFS_BINARY, root.path});
        return run_program(ANCHORFS_PYTHON, args);
    }

    // Clears the scratch root for the next row.
    void reset()
    {
        run_result removed = run_program("/bin/rm", {"-rf", root.path + "/a", root.path + "/d", root.path + "/p",
                                                     root.at(std::string(client::journal_directory))});
        ASSERT_EQ(removed.exit_code, 0) << removed.err;
        SetUp();
    }
};

TEST_F(Journalled, Records_RoundTripThroughTheJsonForm)
{
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        client::Record record = prepared(row);
        std::string bytes = client::encode_record(record);
        client::DecodeRecordResult decoded = client::decode_record(bytes);
        ASSERT_TRUE(decoded.ok()) << decoded.problem << "\n" << bytes;
        EXPECT_EQ(client::encode_record(decoded.record), bytes);
        EXPECT_EQ(bytes.rfind("{\"version\":1,\"operation\":\"" + row.name + "\"", 0), 0u) << bytes;
        reset();
    }
}

TEST_F(Journalled, SettleAfterACrashAtEachStep_SaysWhatItDid)
{
    for (const Row& row : rows()) {
        std::vector<Midway> states = {
            {"record written, operation not run", [](auto&, auto&) {}, row.not_run},
            {"operation ran, record not removed",
             [&](auto&, auto& r) { ASSERT_TRUE(client::run_record(helper, r, row.content).ok()); }, row.ran},
        };
        states.insert(states.end(), row.midway.begin(), row.midway.end());
        for (const Midway& state : states) {
            SCOPED_TRACE(row.name + ": " + state.label);
            client::Record record = prepared(row);
            client::Journal j = journal();
            ASSERT_TRUE(client::write_record(j, record).ok());
            state.crash(root, record);
            client::SettleAllResult all = client::settle_all(j);
            ASSERT_TRUE(all.ok());
            ASSERT_EQ(all.settlements.size(), 1u);
            EXPECT_EQ(all.settlements[0].outcome, state.outcome)
                << client::outcome_name(all.settlements[0].outcome) << ": " << all.settlements[0].problem;
            EXPECT_TRUE(state.outcome == Outcome::completed ? row.after(root) : row.before(root));
            EXPECT_TRUE(journal_names().empty());
            reset();
        }
    }
}

TEST_F(Journalled, SettleWithRedo_RunsAnUndoneOperationAgain)
{
    for (const Row& row : rows()) {
        if (!row.redoable)
            continue;
        SCOPED_TRACE(row.name);
        client::Record record = prepared(row);
        client::Journal j = journal();
        ASSERT_TRUE(client::write_record(j, record).ok());
        ASSERT_TRUE(client::run_record(helper, record).ok());
        client::SettleAllResult all = client::settle_all(j, /*redo=*/true);
        ASSERT_EQ(all.settlements.size(), 1u);
        EXPECT_EQ(all.settlements[0].outcome, Outcome::completed) << all.settlements[0].problem;
        EXPECT_TRUE(all.settlements[0].redone);
        EXPECT_TRUE(row.after(root));
        EXPECT_TRUE(journal_names().empty());
        reset();
    }
}

TEST_F(Journalled, JournalledRun_LeavesTheEffectAndAnEmptyPrivateJournal)
{
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        client::Record record = prepared(row);
        client::Result done = client::run_journalled(journal(), record, row.content);
        EXPECT_TRUE(done.ok()) << done.line;
        EXPECT_TRUE(row.after(root));
        EXPECT_TRUE(journal_names().empty());
        EXPECT_EQ(lstat_of(root.at(std::string(client::journal_directory))).st_mode & 07777, 0700u);
        reset();
    }
}

TEST_F(Journalled, FailureThatLeftTheTreeAsBeforeOrRefusedContent_LeavesNoRecord)
{
    client::Record rename = prepared(rows()[0]);
    ASSERT_EQ(::symlink("a", root.at("d/b").c_str()), 0); // the destination is taken
    client::Result taken = client::run_journalled(journal(), rename);
    EXPECT_EQ(taken.code, client::Code::eexist) << taken.line;
    EXPECT_TRUE(journal_names().empty());
    client::Record staged = prepared(rows()[4]);
    client::Result refused = client::run_journalled(journal(), staged, "other content");
    EXPECT_EQ(refused.kind, client::ResultKind::helper_error);
    EXPECT_EQ(refused.error, EINVAL);
    EXPECT_TRUE(journal_names().empty());
    // A staged create whose final name is another file's: the failure is the outcome, nothing is left to settle.
    write_file(root.at("p/settings"), "theme=light\n", 0600);
    client::Result other = client::run_journalled(journal(), staged, "theme=dark\n");
    EXPECT_EQ(other.code, client::Code::eexist) << other.line;
    EXPECT_TRUE(journal_names().empty());
    EXPECT_TRUE(holds_text(root, "p/settings", "theme=light\n"));
    EXPECT_TRUE(staging_gone(root));
}

TEST_F(Journalled, TornOrForeignRecord_IsReportedAndNeverActedOn)
{
    const Row& unlink = rows()[3]; // settling it would delete the file
    const std::vector<std::pair<std::string, std::function<std::string(std::string)>>> mutations = {
        {"cut short", [](std::string d) { return d.substr(0, d.size() / 2); }},
        {"empty", [](std::string) { return std::string(); }},
        {"number as a JSON number",
         [](std::string d) { return d.replace(d.find("\"size\":\"1\""), 10, "\"size\":1"); }},
        {"unknown key", [](std::string d) { return d.insert(1, "\"extra\":\"1\","); }},
        {"a key given twice", [](std::string d) { return d.insert(1, "\"version\":1,"); }},
        {"another version", [](std::string d) { return d.replace(d.find("\"version\":1"), 11, "\"version\":2"); }},
        {"number beyond 64 bits",
         [](std::string d) { return d.replace(d.find("\"link_count\":\"1\""), 16, "\"link_count\":\"18446744073709551616\""); }},
        {"not UTF-8", [](std::string d) { return d.insert(d.find("\"a\"") + 1, "\xff"); }},
        {"a quarantine name of another form",
         [](std::string d) { return d.replace(d.find(".vor-native-quarantine-"), 4, ".xyz"); }},
    };
    for (const auto& [label, mutate] : mutations) {
        SCOPED_TRACE(label);
        client::Record record = prepared(unlink);
        client::Journal j = journal();
        std::string good = client::encode_record(record);
        std::string broken = mutate(good);
        ASSERT_NE(broken, good);
        std::string name = std::string(client::journal_directory) + "/unlink-checked." + std::string(32, '0') + ".json";
        write_file(root.at(name), broken, 0600);
        client::SettleAllResult all = client::settle_all(j);
        ASSERT_EQ(all.settlements.size(), 1u);
        EXPECT_EQ(all.settlements[0].outcome, Outcome::needs_attention);
        EXPECT_NE(all.settlements[0].problem.find("record"), std::string::npos) << all.settlements[0].problem;
        EXPECT_TRUE(holds_text(root, "a", "A"));
        client::EntriesResult listed = client::journal_entries(j);
        ASSERT_EQ(listed.entries.size(), 1u);
        EXPECT_TRUE(client::remove_entry(j, listed.entries[0]).ok());
        EXPECT_TRUE(journal_names().empty());
        reset();
    }
}

// A record one client wrote is settled by the other, for every row and for
// an operation that ran and one that did not; the two clients also write the
// same bytes for the same record.
TEST_F(Journalled, CrossClient_RecordsOfEitherClientAreSettledByTheOther)
{
    for (const Row& row : rows()) {
        for (bool ran : {false, true}) {
            SCOPED_TRACE(row.name + (ran ? ": ran" : ": not run"));
            Outcome expected = ran ? row.ran : row.not_run;

            // Written by Python, settled here.
            row.build(root);
            std::vector<std::string> args = {ran ? "write-and-run" : "write", row.python_prepare};
            if (!row.content.empty())
                args.push_back("b'theme=dark\\n'");
            run_result written = python(args);
            ASSERT_EQ(written.exit_code, 0) << written.err;
            client::DecodeRecordResult decoded = client::decode_record(written.out);
            ASSERT_TRUE(decoded.ok()) << decoded.problem;
            EXPECT_EQ(client::encode_record(decoded.record), written.out);
            client::SettleAllResult all = client::settle_all(journal());
            ASSERT_EQ(all.settlements.size(), 1u);
            EXPECT_EQ(all.settlements[0].outcome, expected) << all.settlements[0].problem;
            EXPECT_TRUE(expected == Outcome::completed ? row.after(root) : row.before(root));
            EXPECT_TRUE(journal_names().empty());
            reset();

            // Written here, settled by Python.
            client::Record record = prepared(row);
            ASSERT_TRUE(client::write_record(journal(), record).ok());
            if (ran) {
                ASSERT_TRUE(client::run_record(helper, record, row.content).ok());
            }
            run_result settled = python({"settle"});
            ASSERT_EQ(settled.exit_code, 0) << settled.err;
            EXPECT_EQ(settled.out, std::string(client::outcome_name(expected)) + "\n");
            EXPECT_TRUE(expected == Outcome::completed ? row.after(root) : row.before(root));
            EXPECT_TRUE(journal_names().empty());
            reset();
        }
    }
}

// The application killed as each helper run of a journalled operation starts
// or ends (a wrapper kills its parent): settling from the journal leaves the
// tree before or after the operation, never between.
TEST_F(Journalled, KilledAtEachHelperRun_SettlesBeforeOrAfter)
{
    std::string wrapper = root.beside("anchorfs-killing");
    std::string count = root.beside("count");
    for (const Row& row : rows()) {
        for (int kill_at = 1; kill_at <= 3; ++kill_at) { // create-private-file, the operation, the removal
            for (bool after : {false, true}) {
                SCOPED_TRACE(row.name + " at run " + std::to_string(kill_at) + (after ? " end" : " start"));
                client::Record record = prepared(row);
                client::Journal j = journal();
                write_file(count, "0");
                std::string run_it = std::string(ANCHORFS_BINARY) + " \"$@\"";
                write_file(wrapper,
                           "#!/bin/sh\nn=$(($(/bin/cat " + count + ") + 1))\necho $n > " + count + "\n"
                               + "if [ $n -eq " + std::to_string(kill_at) + " ]; then "
                               + (after ? run_it + "; s=$?; kill -9 $PPID; exit $s" : "kill -9 $PPID; exit 1")
                               + "; fi\nexec " + run_it + "\n",
                           0700);
                pid_t child = ::fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    client::Journal killing = j;
                    killing.helper.path = wrapper;
                    (void)client::run_journalled(killing, record, row.content);
                    ::_exit(0);
                }
                int status = 0;
                ASSERT_EQ(::waitpid(child, &status, 0), child);
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
                client::SettleAllResult all = client::settle_all(j);
                ASSERT_TRUE(all.ok());
                for (const client::Settlement& s : all.settlements)
                    EXPECT_NE(s.outcome, Outcome::needs_attention) << s.problem;
                EXPECT_TRUE(journal_names().empty());
                EXPECT_TRUE(row.before(root) || row.after(root));
                reset();
            }
        }
    }
}

} // namespace
