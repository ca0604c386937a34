// link-excl through the binary: a described file gets a second name; after a
// failed check the extra link is carried off through the staging and the
// durable quarantine names, and the file's own name is never touched. The
// adversaries every mutation meets are in adversaries_test.cpp.

#include "commands/mutation_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::mutation;

// 0 is a link count no named file has.
TEST(LinkExcl, DescribedLinkCountZero_FailsIdentityChangedAndLinksNothing)
{
    mutation_scene s(link_excl());
    s.descriptions[0][2] = "0"; // the link count
    expect_failure(run_anchorfs(s.args()), "IDENTITY_CHANGED", ESTALE);
    s.expect(s.command.before);
}

// c + 1 would not exist: refused with the arguments, before any walk.
TEST(LinkExcl, LinkCountOfLargest64BitValue_FailsEinvalBeforeAnyPathIsOpened)
{
    mutation_scene s(link_excl());
    s.descriptions[0][2] = "18446744073709551615";
    run_options options;
    options.trace = true;
    run_result r = run_anchorfs(s.args(), options);
    expect_failure(r, "EINVAL", EINVAL);
    EXPECT_EQ(calls_of(r, "openat"), 1u); // the root's own
    EXPECT_EQ(calls_of(r, "dup"), 0u);
    s.expect(s.command.before);
}

// The staging and quarantine names must be free before the link is made,
// although on success only the destination is used (the destination taken is
// a row of the adversary table).
TEST(LinkExcl, StagingOrQuarantineNameTaken_FailsEexistAndLinksNothing)
{
    for (const std::string& name : {std::string("stage/staged"), "stage/" + quarantine_leaf}) {
        SCOPED_TRACE(name);
        mutation_scene s(link_excl());
        s.write(name, "occupant");
        expect_failure(run_anchorfs(s.args()), "EEXIST", EEXIST);
        s.expect(with(s.command.before, {{name, "occupant"}}));
    }
}

TEST(LinkExcl, SymbolicLinkAtSource_FailsIdentityChangedAndLinksNothing)
{
    mutation_scene s(link_excl());
    ASSERT_EQ(::symlink("f", s.at("src/alias").c_str()), 0);
    run_result r = run_anchorfs(s.args({"src/alias", "dst/g", "stage/staged", "stage/" + quarantine_leaf}));
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    s.expect(s.command.before);
    EXPECT_TRUE(S_ISLNK(lstat_of(s.at("src/alias")).st_mode));
}

} // namespace
