// A command's own slots that are out of form or out of range: the run fails
// with EINVAL before its handler touches anything, whatever the slot.

#include "support/checks.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace anchorfs::test;

namespace {

const std::string digest_of_empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct own_slot_case {
    const char* name;
    const char* command;
    std::vector<std::string> rest; // own slots; "D" "I" "U": d's device, inode, uid; "d/Q": a quarantine name in d
};

const own_slot_case own_slot_cases[] = {
    {"ReadPrivateFile_BoundAboveContentLimit", "read-private-file", {"d/f", "67108865"}},
    {"ReadExternalFile_BoundAboveContentLimit", "read-external-file", {"d/f", "67108865", "D", "I", "U"}},
    {"ReadExternalFile_ParentUidMalformed", "read-external-file", {"d/f", "1", "D", "I", "0x0"}},
    {"RemovePrivateFile_SizeAboveContentLimit", "remove-private-file", {"d/f", "67108865", digest_of_empty}},
    {"RemovePrivateFile_DigestUppercase", "remove-private-file",
     {"d/f", "0", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"}},
    {"RemovePrivateStagingFile_BoundAboveContentLimit", "remove-private-staging-file", {"d/f", "67108865"}},
    {"RemovePrivateTree_BudgetMalformed", "remove-private-tree", {"d", "1e3", "8"}},
    {"RemovePrivateTree_DepthMalformed", "remove-private-tree", {"d", "8", "-1"}},
    {"CreateFile_PermissionsMalformed", "create-file", {"d/g", "0o644", "0"}},
    {"RenameExcl_IdentityMalformed", "rename-excl", {"d/f", "d/g", "1", "2", "1", "0", "x"}},
    {"RenameSwap_SecondIdentityMalformed", "rename-swap",
     {"d/f", "d/g", "1", "2", "1", "0", "33188", "1", "2", "1", "0", "x"}},
    {"UnlinkChecked_DescriptionMalformed", "unlink-checked",
     {"d/f", "d/s", "d/Q", "1", "2", "1", "0", "x", "0", "0", digest_of_empty}},
    {"LinkExcl_IdentityMalformed", "link-excl",
     {"d/f", "d/g", "d/s", "d/Q", "1", "2", "x", "0", "33188", "0", "0", digest_of_empty}},
    {"LinkExcl_LinkCountWithoutSuccessor", "link-excl",
     {"d/f", "d/g", "d/s", "d/Q", "1", "2", "18446744073709551615", "0", "33188", "0", "0", digest_of_empty}},
    {"LinkExcl_DigestMalformed", "link-excl",
     {"d/f", "d/g", "d/s", "d/Q", "1", "2", "1", "0", "33188", "0", "0", digest_of_empty.substr(1) + "g"}},
    {"LinkExcl_SizeMalformed", "link-excl",
     {"d/f", "d/g", "d/s", "d/Q", "1", "2", "1", "0", "33188", "0x0", "0", digest_of_empty}},
};

class OwnSlotRefused : public testing::TestWithParam<own_slot_case> {};

TEST_P(OwnSlotRefused, EinvalAndTreeUntouched)
{
    const own_slot_case& c = GetParam();
    temp_root root;
    make_dir(root.at("d"), 0755);
    write_file(root.at("d/f"), "", 0644);
    const struct stat parent = lstat_of(root.at("d"));
    std::vector<std::string> rest;
    for (const std::string& slot : c.rest)
        rest.push_back(slot == "D"   ? std::to_string(parent.st_dev)
                       : slot == "I" ? std::to_string(parent.st_ino)
                       : slot == "U" ? std::to_string(parent.st_uid)
                       : slot == "d/Q" ? "d/" + quarantine_leaf
                                     : slot);
    run_options options;
    options.check_fds = true;

    run_result r = run_anchorfs(root.command(c.command, rest), options);

    expect_outcome(r, failure_line("EINVAL", EINVAL), exit_failure);
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
    // Nothing hardened, made, moved or removed.
    EXPECT_EQ(lstat_of(root.at("d")).st_mode & 07777, 0755u);
    EXPECT_EQ(lstat_of(root.at("d/f")).st_mode & 07777, 0644u);
    EXPECT_EQ(lstat_of(root.at("d")).st_nlink, 2u);
    EXPECT_FALSE(exists(root.at("d/g")));
}

INSTANTIATE_TEST_SUITE_P(Commands, OwnSlotRefused, testing::ValuesIn(own_slot_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
