// The harness turns a sanitizer report on a run's standard error into a test
// failure, so a finding in the program fails the test that made the run even
// when the test checks nothing else (sanitizer builds rely on this).

#include "support/harness.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using namespace anchorfs::test;

run_result run_shell(const std::string& script)
{
    return run_program("/bin/sh", {"-c", script});
}

TEST(SanitizerReports, ReportOnStandardError_FailsTheTest)
{
    const char* reports[] = {
        "==7==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x602000000011",
        "==7==ERROR: LeakSanitizer: detected memory leaks",
        "src/anchor/bookmarks.cpp:12:5: runtime error: signed integer overflow",
    };
    for (const char* report : reports) {
        SCOPED_TRACE(report);
        EXPECT_NONFATAL_FAILURE(run_shell(std::string("echo '") + report + "' >&2"),
                                "reported a sanitizer finding");
    }
}

TEST(SanitizerReports, OtherStandardError_IsLeftToTheTest)
{
    run_result r = run_shell("echo 'runtime of 3 s' >&2");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "runtime of 3 s\n");
}

} // namespace
