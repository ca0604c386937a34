// remove-private-file through the binary: a file goes only while its content
// has exactly the given size and digest, on every one of its proofs.

#include "private_store/private_store_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs::test;
using namespace anchorfs::test::private_store;

struct removal_scene : private_dir_scene {
    std::string file = root.at("d/f");

    run_result remove(const std::string& size, const std::string& digest, const run_options& options = {}) const
    {
        return run_closing_all(root.command("remove-private-file", {"d/f", size, digest}), options);
    }
};

TEST(RemovePrivateFile, MissingName_PlainLineAndDirectoryHardened)
{
    removal_scene scene;
    expect_plain(scene.remove("0", sha256_hex("")));
    EXPECT_TRUE(listing_order(scene.dir).empty());
    EXPECT_EQ(mode_of(scene.dir), 0700);
}

TEST(RemovePrivateFile, MatchingSizeAndDigest_FileDeleted)
{
    for (const std::string content : {"", "some content\n"}) {
        SCOPED_TRACE(content);
        removal_scene scene;
        write_file(scene.file, content, 0644);
        expect_plain(scene.remove(std::to_string(content.size()), sha256_hex(content)));
        EXPECT_FALSE(exists(scene.file));
        EXPECT_TRUE(exists(scene.dir));
    }
}

struct mismatch_case {
    const char* name;
    const char* size;
    std::string digest_of;
    mode_t mode_after; // written at 0644: hardened once a proof reached the file
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const mismatch_case& c, std::ostream* os)
{
    *os << c.name;
}

class RemovePrivateFileMismatch : public ::testing::TestWithParam<mismatch_case> {};

TEST_P(RemovePrivateFileMismatch, IdentityChangedAndFileStays)
{
    const mismatch_case& c = GetParam();
    removal_scene scene;
    write_file(scene.file, "abcde", 0644);
    const ino_t inode = lstat_of(scene.file).st_ino;
    expect_failure(scene.remove(c.size, sha256_hex(c.digest_of)), "IDENTITY_CHANGED", ESTALE);
    ASSERT_TRUE(exists(scene.file));
    EXPECT_EQ(lstat_of(scene.file).st_ino, inode);
    EXPECT_EQ(read_file(scene.file), "abcde");
    EXPECT_EQ(mode_of(scene.file), c.mode_after);
}

// A file over the size is refused before any mode changes, as the read
// commands refuse one over their bound.
INSTANTIATE_TEST_SUITE_P(Descriptions, RemovePrivateFileMismatch,
                         ::testing::Values(mismatch_case{"DigestOfOtherContentSameSize", "5", "abcdf", 0600},
                                           mismatch_case{"SizeOneLess", "4", "abcde", 0644},
                                           mismatch_case{"SizeOneMore", "6", "abcde", 0600}),
                         [](const ::testing::TestParamInfo<mismatch_case>& info) { return info.param.name; });

struct entry_case {
    const char* name;
    void (*make)(const removal_scene&);
    const char* code;
    int error;
};

void PrintTo(const entry_case& c, std::ostream* os)
{
    *os << c.name;
}

class RemovePrivateFileEntry : public ::testing::TestWithParam<entry_case> {};

// Something other than a regular file at the name: refused, and neither it
// nor what a link points to is deleted or hardened.
TEST_P(RemovePrivateFileEntry, RefusedAndNothingDeletedOrHardened)
{
    const entry_case& c = GetParam();
    removal_scene scene;
    write_file(scene.root.at("d/target"), "", 0644);
    c.make(scene);
    const auto before = tree_listing(scene.dir);
    expect_failure(scene.remove("0", sha256_hex("")), c.code, c.error);
    EXPECT_EQ(tree_listing(scene.dir), before);
    EXPECT_EQ(mode_of(scene.root.at("d/target")), 0644);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RemovePrivateFileEntry,
    ::testing::Values(entry_case{"Directory",
                                 [](const removal_scene& s) {
                                     make_dir(s.file, 0755);
                                     write_file(s.file + "/inner", "", 0644);
                                 },
                                 "IDENTITY_CHANGED", ESTALE},
                      entry_case{"SymbolicLinkToAFile",
                                 [](const removal_scene& s) {
                                     ASSERT_EQ(::symlink("target", s.file.c_str()), 0);
                                 },
                                 "ELOOP", ELOOP}),
    [](const ::testing::TestParamInfo<entry_case>& info) { return info.param.name; });

// Each proof rewinds the file before reading it. The adversary rewrites the
// content in place (same size, same inode, other bytes) at the status query
// that precedes the rewind of the proof under test, and puts the original
// bytes back at the status query before the next rewind, so that only the proof
// under test can see the change.
class RemovePrivateFileRewritten : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RemovePrivateFileRewritten, ContentRewrittenOnlyDuringOneProof_IdentityChangedAndFileKept)
{
    const std::size_t proof = GetParam();
    std::string change_event;
    std::string restore_event;
    {
        removal_scene probe;
        write_file(probe.file, "original", 0600);
        run_options traced;
        traced.trace = true;
        run_result reference = probe.remove("8", sha256_hex("original"), traced);
        expect_plain(reference);
        const std::size_t rewind = position_of(reference.trace, "lseek", proof);
        ASSERT_NE(rewind, std::string::npos);
        change_event = "statx " + std::to_string(count_calls(reference.trace, "statx", rewind));
        const std::size_t next_rewind = position_of(reference.trace, "lseek", proof + 1);
        if (next_rewind != std::string::npos)
            restore_event = "statx " + std::to_string(count_calls(reference.trace, "statx", next_rewind));
    }
    removal_scene scene;
    write_file(scene.file, "original", 0600);
    run_options options;
    auto rule_of = [](std::string event) { return "pause:" + event.replace(event.find(' '), 1, ":"); };
    options.seam.rules = rule_of(change_event);
    if (!restore_event.empty())
        options.seam.rules += ";" + rule_of(restore_event);
    options.allow_unfired_rules = true; // the restore point is never reached when the proof refuses
    options.seam.on_pause = [&](const std::string& event) {
        write_file(scene.file, event == change_event ? "replaced" : "original", 0600);
    };
    run_result result = scene.remove("8", sha256_hex("original"), options);
    expect_failure(result, "IDENTITY_CHANGED", ESTALE);
    EXPECT_EQ(result.pauses, std::vector<std::string>{change_event});
    ASSERT_TRUE(exists(scene.file));
    EXPECT_EQ(read_file(scene.file), "replaced");
}

INSTANTIATE_TEST_SUITE_P(Proofs, RemovePrivateFileRewritten, ::testing::Values(std::size_t{2}, std::size_t{3}),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return info.param == 2 ? std::string("BeforeSecondProof")
                                                    : std::string("BeforeThirdProof");
                         });

} // namespace

namespace {

// The store's owner, not privileged, removing its own entries whose modes deny
// it reading: hardening goes through a handle that needs no permission on the
// entry, so the owner can always clear its own store.
struct unreadable_case {
    const char* name;
    const char* command;
    mode_t file_mode;
    mode_t directory_mode; // of "d/f/sub", in the remove-private-tree rows
};

void PrintTo(const unreadable_case& c, std::ostream* os)
{
    *os << c.name;
}

class OwnerUnreadableEntry : public ::testing::TestWithParam<unreadable_case> {};

TEST_P(OwnerUnreadableEntry, RemovedByItsOwner)
{
    const unreadable_case& c = GetParam();
    const uid_t owner = unprivileged_uid();
    temp_root root(owner);
    auto own = [&](const std::string& path) {
        ASSERT_EQ(::lchown(path.c_str(), owner, unprivileged_gid()), 0);
    };
    make_dir(root.at("d"), 0700);
    own(root.at("d"));
    std::vector<std::string> rest{"d/f"};
    std::string file = root.at("d/f");
    const bool tree = std::string(c.command) == "remove-private-tree";
    if (tree) {
        make_dir(root.at("d/f"), 0700);
        own(root.at("d/f"));
        make_dir(root.at("d/f/sub"), 0700);
        own(root.at("d/f/sub"));
        file = root.at("d/f/sub/g");
        rest.push_back("16");
        rest.push_back("4");
    } else if (std::string(c.command) == "remove-private-file") {
        rest.push_back("4");
        rest.push_back(sha256_hex("data"));
    } else {
        rest.push_back("4");
    }
    write_file(file, "data", c.file_mode);
    own(file);
    if (tree) {
        ASSERT_EQ(::chmod(root.at("d/f/sub").c_str(), c.directory_mode), 0);
    }
    run_options options;
    options.uid = owner;
    options.gid = unprivileged_gid();
    run_result r = run_closing_all(root.command(c.command, rest), options);
    expect_plain(r);
    EXPECT_FALSE(exists(root.at("d/f")));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OwnerUnreadableEntry,
    ::testing::Values(unreadable_case{"PrivateFile0000", "remove-private-file", 0000, 0},
                      unreadable_case{"PrivateFile0200", "remove-private-file", 0200, 0},
                      unreadable_case{"StagingFile0000", "remove-private-staging-file", 0000, 0},
                      unreadable_case{"TreeWithFile0000", "remove-private-tree", 0000, 0700},
                      unreadable_case{"TreeWithDirectory0000", "remove-private-tree", 0600, 0000},
                      unreadable_case{"TreeWithDirectory0200", "remove-private-tree", 0600, 0200}),
    [](const ::testing::TestParamInfo<unreadable_case>& info) { return info.param.name; });

} // namespace
