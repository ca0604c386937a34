// bookmark-parent when the calls behind a bookmark fail: a directory without a
// handle still gets a bookmark (its recorded path), and a /proc that cannot be
// proven is reported with the resource error that stopped it, or as
// unsupported, never as a bookmark.

#include "support/checks.hpp"
#include "support/harness.hpp"
#include "support/scratch_scene.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>

namespace anchorfs::test {
namespace {

struct fault_case {
    const char* name;
    const char* rules;
    const char* code;  // empty: a bookmark line
    int error;
    const char* flags; // of a bookmark line: the record's flags byte, in hex
};

class BookmarkParentFault : public testing::TestWithParam<fault_case> {};

TEST_P(BookmarkParentFault, BookmarkWithoutHandleOrTheCallsError)
{
    const fault_case& c = GetParam();
    temp_root root;
    make_dir(root.at("d"));
    run_options options;
    options.seam.rules = c.rules;
    options.check_fds = true;

    run_result r = run_anchorfs(root.command("bookmark-parent", {"d/x"}), options);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
    if (std::string(c.code).empty()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(r.out, match, bookmark_line_pattern)) << r.out;
        EXPECT_EQ(r.exit_code, exit_ok);
        // "AFBK", version 1, then the flags byte: 1 with a handle.
        EXPECT_EQ(match[1].str().substr(0, 12), std::string("4146424b01") + c.flags);
    } else {
        expect_failure(r, c.code, c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, BookmarkParentFault,
    testing::Values(fault_case{"NoHandle_PathOnly", "fail:name_to_handle_at:1:EOPNOTSUPP", "", 0, "00"},
                    fault_case{"ProcOpenNoFileTableSlot", "fail:open:1:ENFILE", "FILESYSTEM_ERROR", ENFILE, ""},
                    fault_case{"ProcOpenNoMemory", "fail:open:1:ENOMEM", "FILESYSTEM_ERROR", ENOMEM, ""},
                    fault_case{"ProcOpenInterrupted", "fail:open:1:EINTR", "FILESYSTEM_ERROR", EINTR, ""},
                    fault_case{"ProcOpenRefused", "fail:open:1:EACCES", "FILESYSTEM_ERROR", EOPNOTSUPP, ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace anchorfs::test
