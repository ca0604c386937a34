// Operations killed right after each of their mutating calls (renames, links,
// unlinks, flushes), learned from a trace of an undisturbed run: the matching
// recover command, given the bookmarks taken beforehand, settles the tree
// exactly (rename, swap and link undone, unlink completed), and a second
// recover run is a successful no-op. The same holds when the recover command
// itself is killed part way and run again.

#include "recovery/recovery_scene.hpp"

#include <csignal>
#include <memory>
#include <set>
#include <tuple>
#include <utility>

namespace anchorfs::test::recovery {
namespace {

const std::string quarantine = "s/" + quarantine_leaf;

// One operation: its scene, the forward command's slots, the recover
// command's slots, and the tree it settles to.
struct prepared {
    std::unique_ptr<scene> s;
    std::vector<std::string> forward;
    std::vector<std::string> recover;
    tree_snapshot settled;
};

struct operation {
    const char* name;
    const char* forward;
    const char* recover;
    prepared (*prepare)(runner who);
};

void PrintTo(const operation& c, std::ostream* out) { *out << c.name; }

prepared rename_excl(runner who)
{
    prepared p{std::make_unique<scene>(who), {}, {}, {}};
    const scene& s = *p.s;
    p.recover = before_rename(s);
    p.forward = join({{"d/f", "e/g"}, identity_args(s.at("d/f"))});
    p.settled = s.tree();
    return p;
}

prepared rename_swap(runner who)
{
    prepared p{std::make_unique<scene>(who), {}, {}, {}};
    const scene& s = *p.s;
    s.dir("d");
    s.dir("e");
    s.file("d/a", "file one\n");
    s.file("e/b", "file two, longer\n");
    p.forward = join({{"d/a", "e/b"}, identity_args(s.at("d/a")), identity_args(s.at("e/b"))});
    p.recover = join({s.group("d", "a"), s.group("e", "b"), s.describe("d/a"), s.describe("e/b")});
    p.settled = s.tree();
    return p;
}

prepared unlink_checked(runner who)
{
    prepared p{std::make_unique<scene>(who), {}, {}, {}};
    const scene& s = *p.s;
    p.recover = before_unlink(s);
    s.file("d/kept", "another file\n");
    p.forward = join({{"d/f", "s/staged", quarantine}, s.describe("d/f")});
    p.settled = s.tree();
    p.settled.erase("d/f");
    return p;
}

prepared link_excl(runner who)
{
    prepared p{std::make_unique<scene>(who), {}, {}, {}};
    const scene& s = *p.s;
    s.dir("d");
    s.dir("e");
    s.dir("s");
    s.file("d/f", "content\n");
    p.forward = join({{"d/f", "e/g", "s/staged", quarantine}, s.describe("d/f")});
    p.recover = join({s.group("d", "f"), s.group("e", "g"), s.group("s", "staged"), s.group("s", quarantine_leaf),
                      s.describe("d/f")});
    p.settled = s.tree();
    return p;
}

const operation operations[] = {
    {"RenameExcl", "rename-excl", "recover-rename", rename_excl},
    {"RenameSwap", "rename-swap", "recover-swap", rename_swap},
    {"UnlinkChecked", "unlink-checked", "recover-unlink", unlink_checked},
    {"LinkExcl", "link-excl", "recover-link", link_excl},
};

// "FUNC:N" for every mutating call of a traced run, in order.
std::vector<std::string> mutating_calls(const run_result& r)
{
    static const std::set<std::string> mutating{"renameat2", "renameat", "linkat", "unlinkat", "fsync"};
    std::map<std::string, int> seen;
    std::vector<std::string> calls;
    for (const std::string& line : r.trace) {
        const std::string function = line.substr(0, line.find(' '));
        if (mutating.count(function) != 0)
            calls.push_back(function + ":" + std::to_string(++seen[function]));
    }
    return calls;
}

std::vector<std::string> learn(const char* command, const prepared& p, const std::vector<std::string>& args)
{
    run_options traced;
    traced.trace = true;
    run_result r = p.s->run(command, args, traced);
    EXPECT_TRUE(succeeded(r)) << command;
    return mutating_calls(r);
}

testing::AssertionResult killed(const run_result& r)
{
    if (r.signal == SIGKILL && r.out.empty() && r.err.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not killed: out=\"" << r.out << "\" exit=" << r.exit_code
                                       << " signal=" << r.signal << " err=\"" << r.err << "\"";
}

run_options kill_after(const std::string& call)
{
    run_options options;
    options.seam.rules = "kill:" + call;
    return options;
}

// Recover twice: settled exactly, then nothing more to do.
std::string first_mutation_of(const operation& op)
{
    return std::string(op.forward) == "link-excl" ? "linkat:1" : "renameat2:1";
}

void expect_recovered(const operation& op, const prepared& p)
{
    EXPECT_TRUE(succeeded(p.s->run(op.recover, p.recover)));
    EXPECT_EQ(p.s->tree(), p.settled);
    EXPECT_TRUE(succeeded(p.s->run(op.recover, p.recover))) << "second recover run";
    EXPECT_EQ(p.s->tree(), p.settled);
}

class InterruptedOperation : public testing::TestWithParam<std::tuple<runner, operation>> {};

TEST_P(InterruptedOperation, KilledAfterEachMutatingCall_RecoverSettlesTheTree)
{
    const auto& [who, op] = GetParam();
    prepared probe = op.prepare(who);
    const std::vector<std::string> calls = learn(op.forward, probe, probe.forward);
    ASSERT_FALSE(calls.empty());
    ASSERT_TRUE(calls.front() == "renameat2:1" || calls.front() == "linkat:1") << calls.front();

    for (const std::string& call : calls) {
        SCOPED_TRACE("killed after " + call);
        prepared p = op.prepare(who);
        const tree_snapshot original = p.s->tree();
        ASSERT_TRUE(killed(p.s->run(op.forward, p.forward, kill_after(call))));
        EXPECT_NE(p.s->tree(), original) << "the kill came before the first mutation";
        expect_recovered(op, p);
    }
}

// The recover command, run after the operation was killed right after its
// first mutation, is itself killed after each of its own mutating calls.
TEST_P(InterruptedOperation, RecoverKilledAfterEachMutatingCall_NextRecoverSettlesTheTree)
{
    const auto& [who, op] = GetParam();
    const std::string first_mutation = first_mutation_of(op);
    auto interrupted = [&] {
        prepared p = op.prepare(who);
        EXPECT_TRUE(killed(p.s->run(op.forward, p.forward, kill_after(first_mutation))));
        return p;
    };
    prepared probe = interrupted();
    const std::vector<std::string> calls = learn(op.recover, probe, probe.recover);
    ASSERT_FALSE(calls.empty());

    for (const std::string& call : calls) {
        SCOPED_TRACE("recover killed after " + call);
        prepared p = interrupted();
        ASSERT_TRUE(killed(p.s->run(op.recover, p.recover, kill_after(call))));
        expect_recovered(op, p);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, InterruptedOperation,
                         testing::Combine(both_runners, testing::ValuesIn(operations)), [](const auto& info) {
                             return std::string(std::get<1>(info.param).name)
                                    + (std::get<0>(info.param) == runner::privileged ? "_Privileged"
                                                                                     : "_Unprivileged");
                         });

class InterruptedThenMoved : public testing::TestWithParam<std::tuple<runner, operation>> {};

// After the interruption the destination directory is moved elsewhere in the
// root; the recover call names its new place and the bookmark still finds it.
TEST_P(InterruptedThenMoved, DestinationDirectoryMoved_RecoverAtItsNewPlace)
{
    const auto& [who, op] = GetParam();
    prepared p = op.prepare(who);
    ASSERT_TRUE(killed(p.s->run(op.forward, p.forward, kill_after(first_mutation_of(op)))));
    p.s->dir("moved");
    p.s->move("e", "moved/e");
    p.recover[6 + 4] = "moved/e"; // the destination group's directory path
    tree_snapshot settled;
    for (const auto& [path, what] : p.settled)
        settled[path == "e" || path.rfind("e/", 0) == 0 ? "moved/" + path : path] = what;
    settled["moved"] = p.s->tree().at("moved");
    p.settled = settled;
    expect_recovered(op, p);
}

INSTANTIATE_TEST_SUITE_P(Operations, InterruptedThenMoved,
                         testing::Combine(both_runners, testing::Values(operations[0], operations[3])),
                         [](const auto& info) {
                             return std::string(std::get<1>(info.param).name)
                                    + (std::get<0>(info.param) == runner::privileged ? "_Privileged"
                                                                                     : "_Unprivileged");
                         });

} // namespace
} // namespace anchorfs::test::recovery
