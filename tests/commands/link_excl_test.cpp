// link-excl through the binary: a described file gets a second name; after a
// failed check the extra link is carried off through the staging and the
// durable quarantine names, and the file's own name is never touched.

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

// A file "src/f", an empty destination directory "dst", and the staging and
// quarantine names in "stage".
struct link_tree {
    temp_root root;
    std::string file = root.at("src/f");
    std::string destination = root.at("dst/g");
    std::string staging = root.at("stage/staged");
    std::string quarantine = root.at("stage/" + quarantine_leaf);
    ino_t inode = 0;
    link_tree()
    {
        make_dir(root.at("src"));
        make_dir(root.at("dst"));
        make_dir(root.at("stage"));
        write_file(file, "linked content");
        inode = inode_of(file);
    }
    std::vector<std::string> args(const std::vector<std::string>& description, const std::string& source = "src/f") const
    {
        return root.command("link-excl",
                            join({{source, "dst/g", "stage/staged", "stage/" + quarantine_leaf}, description}));
    }
    std::vector<std::string> args() const { return args(description_args(file)); }
    // The description of the file with another link count.
    std::vector<std::string> with_links(const std::string& count) const
    {
        std::vector<std::string> description = description_args(file);
        description[2] = count;
        return description;
    }
    void expect_unlinked(nlink_t links = 1) const
    {
        expect_file(file, inode, "linked content", links);
        expect_absent(destination);
        expect_absent(staging);
        expect_absent(quarantine);
    }
};

TEST(LinkExcl, DescribedFileWithOneLink_BothNamesShowItWithTwoLinks)
{
    link_tree tree;
    run_result r = run_anchorfs(tree.args());
    expect_plain(r);
    expect_file(tree.file, tree.inode, "linked content", 2);
    expect_file(tree.destination, tree.inode, "linked content", 2);
    expect_absent(tree.staging);
    expect_absent(tree.quarantine);
}

// The described link count must be the file's: one it does not have, or 0,
// which no named file has, is another file.
TEST(LinkExcl, DescribedLinkCountWrong_FailsIdentityChangedAndLinksNothing)
{
    {
        SCOPED_TRACE("count 1 for a file with two links");
        link_tree tree;
        const std::vector<std::string> description = description_args(tree.file);
        ASSERT_EQ(::link(tree.file.c_str(), tree.root.at("src/second").c_str()), 0);
        expect_failure(run_anchorfs(tree.args(description)), "IDENTITY_CHANGED", ESTALE);
        tree.expect_unlinked(2);
    }
    {
        SCOPED_TRACE("count 0");
        link_tree tree;
        expect_failure(run_anchorfs(tree.args(tree.with_links("0"))), "IDENTITY_CHANGED", ESTALE);
        tree.expect_unlinked();
    }
}

// c + 1 would not exist: refused with the arguments, before any walk.
TEST(LinkExcl, LinkCountOfLargest64BitValue_FailsEinvalBeforeAnyPathIsOpened)
{
    link_tree tree;
    run_options options;
    options.trace = true;
    run_result r = run_anchorfs(tree.args(tree.with_links("18446744073709551615")), options);
    expect_failure(r, "EINVAL", EINVAL);
    EXPECT_EQ(calls_of(r, "openat"), 1u); // the root's own
    EXPECT_EQ(calls_of(r, "dup"), 0u);
    tree.expect_unlinked();
}

// Each of the three names must be free before the link is made, although on
// success only the destination is used.
TEST(LinkExcl, DestinationStagingOrQuarantineNameTaken_FailsEexistAndLinksNothing)
{
    const std::string taken[] = {"dst/g", "stage/staged", "stage/" + quarantine_leaf};
    for (const std::string& name : taken) {
        SCOPED_TRACE(name);
        link_tree tree;
        write_file(tree.root.at(name), "occupant");
        const ino_t occupant = inode_of(tree.root.at(name));
        run_result r = run_anchorfs(tree.args());
        expect_failure(r, "EEXIST", EEXIST);
        expect_file(tree.file, tree.inode, "linked content");
        expect_file(tree.root.at(name), occupant, "occupant");
        for (const std::string& other : taken)
            if (other != name)
                expect_absent(tree.root.at(other));
    }
}

TEST(LinkExcl, SymbolicLinkAtSource_FailsIdentityChangedAndLinksNothing)
{
    link_tree tree;
    ASSERT_EQ(::symlink("f", tree.root.at("src/alias").c_str()), 0);
    run_result r = run_anchorfs(tree.args(description_args(tree.file), "src/alias"));
    expect_failure(r, "IDENTITY_CHANGED", ESTALE);
    tree.expect_unlinked();
    EXPECT_TRUE(S_ISLNK(lstat_of(tree.root.at("src/alias")).st_mode));
}

// Pause after the link; the adversary renames the destination directory away
// and puts a look-alike at its path. Both names still show the file with two
// links through the held parents, the anchoring check fails, and the extra
// link goes from the held destination to the staging name, through the
// quarantine name, and is deleted there.
TEST(LinkExcl, DestinationParentReplacedAfterLink_RemovesExtraLinkAndReportsRolledBack)
{
    link_tree tree;
    const std::string away = tree.root.at("dst-away");
    run_options options = paused_at("linkat", 1, [&](const std::string&) {
        ASSERT_EQ(links_of(tree.file), 2u);
        replace_directory(tree.root.at("dst"), away);
    });
    run_result r = run_anchorfs(tree.args(), options);
    expect_failure(r, "RACE_ROLLED_BACK", ESTALE);
    tree.expect_unlinked();
    expect_absent(away + "/g");
}

} // namespace
