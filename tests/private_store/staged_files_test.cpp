// create-private-file-staged and remove-private-staging-file through the
// binary: what the final and staging names hold after each ending, and which
// leftovers block a later run until they are removed.

#include "private_store/private_store_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
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

// The final and staging names in the common parent "d".
struct staging_scene : private_dir_scene {
    std::string final_path = root.at("d/final");
    std::string staging_path = root.at("d/stage");

    run_result create(const std::string& size, run_options options = {}, const std::string& final_name = "d/final",
                      const std::string& staging_name = "d/stage") const
    {
        return run_closing_all(root.command("create-private-file-staged", {final_name, staging_name, size}), options);
    }
    run_result create(const std::string& size, const std::string& input) const
    {
        run_options options;
        options.stdin_data = input;
        return create(size, options);
    }
    // The trace of the same creation (of "abc") under other names, which
    // tells a later run the numbers of its calls.
    std::vector<std::string> reference_trace() const
    {
        run_options traced;
        traced.stdin_data = "abc";
        traced.trace = true;
        run_result reference = create("3", traced, "d/probe-final", "d/probe-stage");
        expect_plain(reference);
        return reference.trace;
    }
    run_result remove_staging(const std::string& name, const std::string& bound) const
    {
        return run_closing_all(root.command("remove-private-staging-file", {name, bound}));
    }
};

// ---- create-private-file-staged ----

std::size_t flushes_before_move(const std::vector<std::string>& trace)
{
    return count_calls(trace, "fsync", position_of(trace, "renameat2"));
}

TEST(CreateStaged, SizeZeroEmptyInput_LeavesEmptyPrivateFileAndNoStagingName)
{
    staging_scene scene;
    expect_plain(scene.create("0", ""));
    EXPECT_EQ(read_file(scene.final_path), "");
    EXPECT_EQ(mode_of(scene.final_path), 0600);
    EXPECT_EQ(lstat_of(scene.final_path).st_nlink, 1u);
    EXPECT_FALSE(exists(scene.staging_path));
    EXPECT_EQ(mode_of(scene.dir), 0700);
}

class CreateStagedUmask : public ::testing::TestWithParam<mode_t> {};

TEST_P(CreateStagedUmask, AnyCreationMask_FileEnds0600AndParent0700)
{
    staging_scene scene;
    run_options options;
    options.stdin_data = "some content";
    options.umask = GetParam();
    expect_plain(scene.create("12", options));
    EXPECT_EQ(read_file(scene.final_path), "some content");
    EXPECT_EQ(mode_of(scene.final_path), 0600);
    EXPECT_EQ(mode_of(scene.dir), 0700);
    EXPECT_FALSE(exists(scene.staging_path));
}

INSTANTIATE_TEST_SUITE_P(Masks, CreateStagedUmask, ::testing::Values(mode_t{0}, mode_t{077}, mode_t{0777}),
                         [](const ::testing::TestParamInfo<mode_t>& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Umask%04o", static_cast<unsigned>(info.param));
                             return std::string(name);
                         });

struct wrong_input_case {
    const char* name;
    const char* size;
    std::string input;
    std::string staged; // what the staging file keeps
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const wrong_input_case& c, std::ostream* os)
{
    *os << c.name;
}

class CreateStagedWrongInput : public ::testing::TestWithParam<wrong_input_case> {};

TEST_P(CreateStagedWrongInput, FailsEinvalAndLeftoverBlocksUntilRemoved)
{
    const wrong_input_case& c = GetParam();
    staging_scene scene;
    expect_failure(scene.create(c.size, c.input), "EINVAL", EINVAL);
    EXPECT_FALSE(exists(scene.final_path));
    ASSERT_TRUE(exists(scene.staging_path));
    EXPECT_EQ(read_file(scene.staging_path), c.staged);
    EXPECT_EQ(mode_of(scene.staging_path), 0600);

    // The leftover blocks a correct run with the same staging name...
    const std::string full(std::stoul(c.size), 'x');
    expect_failure(scene.create(c.size, full), "EEXIST", EEXIST);
    EXPECT_FALSE(exists(scene.final_path));
    EXPECT_EQ(read_file(scene.staging_path), c.staged);

    // ...until remove-private-staging-file takes it away.
    expect_plain(scene.remove_staging("d/stage", c.size));
    EXPECT_FALSE(exists(scene.staging_path));
    expect_plain(scene.create(c.size, full));
    EXPECT_EQ(read_file(scene.final_path), full);
}

INSTANTIATE_TEST_SUITE_P(Inputs, CreateStagedWrongInput,
                         ::testing::Values(wrong_input_case{"SizeZeroOneByteTooMany", "0", "x", ""},
                                           wrong_input_case{"OneByteTooMany", "3", "abcd", "abc"},
                                           wrong_input_case{"OneByteShort", "5", "abcd", "abcd"},
                                           wrong_input_case{"NoInputAtAll", "5", "", ""}),
                         [](const ::testing::TestParamInfo<wrong_input_case>& info) { return info.param.name; });

TEST(CreateStaged, ParentsInDifferentDirectories_IdentityChangedBeforeAnythingIsCreated)
{
    staging_scene scene;
    make_dir(scene.root.at("e"), 0755);
    run_options options;
    options.stdin_data = "abc";
    expect_failure(scene.create("3", options, "d/final", "e/stage"), "IDENTITY_CHANGED", ESTALE);
    EXPECT_TRUE(listing_order(scene.dir).empty());
    EXPECT_TRUE(listing_order(scene.root.at("e")).empty());
    EXPECT_EQ(mode_of(scene.dir), 0755); // refused before the common parent is hardened
    EXPECT_EQ(mode_of(scene.root.at("e")), 0755);
}

TEST(CreateStaged, FinalAndStagingSameText_EinvalAndNothingTouched)
{
    staging_scene scene;
    run_options options;
    options.stdin_data = "abc";
    expect_failure(scene.create("3", options, "d/final", "d/final"), "EINVAL", EINVAL);
    EXPECT_TRUE(listing_order(scene.dir).empty());
    EXPECT_EQ(mode_of(scene.dir), 0755);
}

TEST(CreateStaged, SizeAboveLimit_EinvalBeforeAnythingBelowTheRootIsOpened)
{
    staging_scene scene;
    run_options options;
    options.stdin_data = "abc";
    options.trace = true;
    run_result result = scene.create("67108865", options);
    expect_failure(result, "EINVAL", EINVAL);
    EXPECT_EQ(count_calls(result.trace, "openat") + count_calls(result.trace, "open"), 1u) // the root only
        << ::testing::PrintToString(result.trace);
    EXPECT_EQ(count_calls(result.trace, "read"), 0u);
    EXPECT_TRUE(listing_order(scene.dir).empty());
    EXPECT_EQ(mode_of(scene.dir), 0755);
}

TEST(CreateStaged, SizeAtLimit_Accepted)
{
    staging_scene scene;
    std::string content(67108864, '\0');
    for (std::size_t i = 0; i < content.size(); i += 4096)
        content[i] = static_cast<char>(i / 4096);
    const std::string input = scene.root.beside("input");
    write_file(input, content);
    run_options options;
    options.stdin_file = input;
    expect_plain(scene.create("67108864", options));
    EXPECT_EQ(lstat_of(scene.final_path).st_size, 67108864);
    EXPECT_TRUE(read_file(scene.final_path) == content);
    EXPECT_FALSE(exists(scene.staging_path));
}

TEST(CreateStaged, FinalNameTakenAfterStagingParentFlush_StagingFileDeletedAndEexist)
{
    staging_scene scene;
    // The flush of the staging parent is the last fsync before the move.
    const std::vector<std::string> trace = scene.reference_trace();
    ASSERT_NE(position_of(trace, "renameat2"), std::string::npos);
    ASSERT_GE(flushes_before_move(trace), 2u);

    run_options options = paused_at("fsync", flushes_before_move(trace), [&](const std::string&) {
        // Another process creates the final name while the staging file is complete.
        ASSERT_TRUE(exists(scene.staging_path));
        write_file(scene.final_path, "intruder", 0644);
    });
    options.stdin_data = "abc";
    run_result result = scene.create("3", options);
    expect_failure(result, "EEXIST", EEXIST);
    ASSERT_EQ(result.pauses.size(), 1u);
    EXPECT_FALSE(exists(scene.staging_path));
    EXPECT_EQ(read_file(scene.final_path), "intruder");
    EXPECT_EQ(mode_of(scene.final_path), 0644);
}

// A call failing with EIO at each stage of a creation, and what the failure
// leaves: before the staging file is proven it stays for
// remove-private-staging-file; from then on nothing stays.
struct stage_failure_case {
    const char* name;
    // The seam rule, from the trace of a successful run of the same command.
    std::string (*rule)(const std::vector<std::string>& trace);
    std::optional<std::string> staged; // the staging file's content afterwards, if it stays
};

void PrintTo(const stage_failure_case& c, std::ostream* os)
{
    *os << c.name;
}

class CreateStagedCallFails : public ::testing::TestWithParam<stage_failure_case> {};

TEST_P(CreateStagedCallFails, ReportsTheCallsErrorAndLeavesWhatItsStageLeaves)
{
    const stage_failure_case& c = GetParam();
    staging_scene scene;
    const std::vector<std::string> trace = scene.reference_trace();
    ASSERT_NE(position_of(trace, "renameat2"), std::string::npos);

    run_options options;
    options.stdin_data = "abc";
    options.seam.rules = c.rule(trace);
    expect_failure(scene.create("3", options), "FILESYSTEM_ERROR", EIO);
    EXPECT_FALSE(exists(scene.final_path));
    ASSERT_EQ(exists(scene.staging_path), c.staged.has_value());
    if (c.staged) {
        EXPECT_EQ(read_file(scene.staging_path), *c.staged);
        EXPECT_EQ(mode_of(scene.staging_path), 0600);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, CreateStagedCallFails,
    ::testing::Values(
        stage_failure_case{"CopyIntoStaging",
                           [](const std::vector<std::string>& trace) {
                               // The first write after the first read of standard input.
                               const std::size_t write = position_of(trace, "write", 1, position_of(trace, "read"));
                               return "fail:write:" + std::to_string(count_calls(trace, "write", write) + 1) + ":EIO";
                           },
                           std::string("")},
        stage_failure_case{"StagingFileFlush",
                           [](const std::vector<std::string>& trace) {
                               return "fail:fsync:" + std::to_string(flushes_before_move(trace) - 1) + ":EIO";
                           },
                           std::string("abc")},
        stage_failure_case{"StagingParentFlush",
                           [](const std::vector<std::string>& trace) {
                               return "fail:fsync:" + std::to_string(flushes_before_move(trace)) + ":EIO";
                           },
                           std::string("abc")},
        stage_failure_case{"Move",
                           [](const std::vector<std::string>&) { return std::string("fail:renameat2:1:EIO"); },
                           std::nullopt},
        stage_failure_case{"FinalParentFlush",
                           [](const std::vector<std::string>& trace) {
                               return "fail:fsync:" + std::to_string(flushes_before_move(trace) + 1) + ":EIO";
                           },
                           std::nullopt}),
    [](const ::testing::TestParamInfo<stage_failure_case>& info) { return info.param.name; });

// ---- remove-private-staging-file ----

TEST(RemoveStaging, MissingName_PlainLine)
{
    staging_scene scene;
    expect_plain(scene.remove_staging("d/stage", "10"));
    EXPECT_TRUE(listing_order(scene.dir).empty());
}

TEST(RemoveStaging, FileAt0644WithinBound_SetTo0600ThenDeleted)
{
    staging_scene scene;
    write_file(scene.staging_path, "1234", 0644);
    // A descriptor held on the file shows its last mode after the name is gone.
    const int held = ::open(scene.staging_path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    expect_plain(scene.remove_staging("d/stage", "4"));
    struct stat status;
    ASSERT_EQ(::fstat(held, &status), 0);
    ::close(held);
    EXPECT_FALSE(exists(scene.staging_path));
    EXPECT_EQ(status.st_nlink, 0u);
    EXPECT_EQ(status.st_mode & 07777, 0600);
}

struct refused_staging_case {
    const char* name;
    void (*make)(const staging_scene&);
};

void PrintTo(const refused_staging_case& c, std::ostream* os)
{
    *os << c.name;
}

class RemoveStagingRefused : public ::testing::TestWithParam<refused_staging_case> {};

TEST_P(RemoveStagingRefused, EinvalAndNothingChanged)
{
    staging_scene scene;
    GetParam().make(scene);
    const auto before = tree_listing(scene.dir);
    const auto modes_before = tree_modes(scene.dir);
    expect_failure(scene.remove_staging("d/stage", "4"), "EINVAL", EINVAL);
    EXPECT_EQ(tree_listing(scene.dir), before);
    auto modes_after = tree_modes(scene.dir);
    EXPECT_EQ(modes_after["."], 0700); // only the parent is hardened
    modes_after["."] = modes_before.at(".");
    EXPECT_EQ(modes_after, modes_before);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RemoveStagingRefused,
    ::testing::Values(
        refused_staging_case{"OneByteOverBound",
                             [](const staging_scene& s) { write_file(s.staging_path, "12345", 0644); }},
        refused_staging_case{"TwoLinks",
                             [](const staging_scene& s) {
                                 write_file(s.staging_path, "12", 0644);
                                 ASSERT_EQ(::link(s.staging_path.c_str(), s.root.at("d/other").c_str()), 0);
                             }},
        refused_staging_case{"Directory", [](const staging_scene& s) { make_dir(s.staging_path, 0755); }},
        refused_staging_case{"SymbolicLink",
                             [](const staging_scene& s) {
                                 write_file(s.root.at("d/target"), "12", 0644);
                                 ASSERT_EQ(::symlink("target", s.staging_path.c_str()), 0);
                             }}),
    [](const ::testing::TestParamInfo<refused_staging_case>& info) { return info.param.name; });

} // namespace
