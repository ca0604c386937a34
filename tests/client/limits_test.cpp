// Time limits and cancellation of one call: a stopped run has its input
// closed first, is given the grace period to end on its own, and only then is
// killed. Every create is cut mid-copy at a known byte by a relay that stalls
// (the test driver), so that the outcome does not hang on the machine's speed.

#include "support/checks.hpp"
#include "support/harness.hpp"

#include <anchorfs/client.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace client = anchorfs::client;
using namespace anchorfs::test;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t content_size = 8u << 20;
constexpr std::size_t relayed = 1u << 20; // what reaches the helper before the relay stalls

// A program for client::Helper that runs `line` with the helper's arguments.
std::string wrapper(const temp_root& root, const std::string& name, const std::string& line)
{
    const std::string path = root.beside(name);
    write_file(path, "#!/bin/sh\nexec " + line + " \"$@\"\n", 0755);
    return path;
}

struct CreateRow {
    const char* name;
    std::function<client::Result(const client::Helper&, const client::RootAnchor&, std::string_view,
                                 const client::Limits&)>
        run;
    const char* absent;  // the name a cancelled create must not hold
    const char* left;    // what the helper leaves on purpose ("" for nothing)
};

const CreateRow create_rows[] = {
    {"CreateFile",
     [](const client::Helper& h, const client::RootAnchor& r, std::string_view content, const client::Limits& l) {
         return client::run(h, r, client::CreateFile{"f", 0644, content}, l);
     },
     "f", ""},
    {"CreatePrivateFile",
     [](const client::Helper& h, const client::RootAnchor& r, std::string_view content, const client::Limits& l) {
         return client::run(h, r, client::CreatePrivateFile{"p/f", content}, l);
     },
     "p/f", ""},
    // The staged create keeps its staging file after a short input, for
    // remove-private-staging-file; the final name never holds a partial file.
    {"CreatePrivateFileStaged",
     [](const client::Helper& h, const client::RootAnchor& r, std::string_view content, const client::Limits& l) {
         return client::run(h, r, client::CreatePrivateFileStaged{"p/f", "p/f.staging", content}, l);
     },
     "p/f", "p/f.staging"},
};

enum class Stop { timeout, cancel };

struct unique_test_fd {
    int fd = -1;
    explicit unique_test_fd(int opened) : fd(opened) {}
    ~unique_test_fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    unique_test_fd(const unique_test_fd&) = delete;
    unique_test_fd& operator=(const unique_test_fd&) = delete;
};

struct StopCase {
    CreateRow row;
    Stop stop;
};

class ClientLimits : public ::testing::TestWithParam<StopCase> {
protected:
    temp_root root;
    client::RootAnchor anchor() const { return {root.path, root.device, root.inode, root.uid}; }
};

TEST_P(ClientLimits, CreateStoppedMidCopy_InputClosedFirst_NoPartialFileLeft)
{
    const StopCase& c = GetParam();
    make_dir(root.at("p"), 0700);
    const std::string signal_fifo = root.beside("signal");
    ASSERT_EQ(::mkfifo(signal_fifo.c_str(), 0600), 0);
    // The test holds both ends, so the read end is ready only once the relay writes.
    unique_test_fd cancel_end(::open(signal_fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    unique_test_fd keep_open(::open(signal_fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(cancel_end.fd, 0);
    ASSERT_GE(keep_open.fd, 0);

    client::Limits limits;
    if (c.stop == Stop::cancel)
        limits.cancel_fd = cancel_end.fd;
    else
        limits.timeout = 300ms;
    const client::Helper helper{wrapper(root, "relay", std::string(AREA_DRIVER) + " relay " + std::to_string(relayed)
                                                           + " " + (c.stop == Stop::cancel ? signal_fifo : "-") + " "
                                                           + ANCHORFS_BINARY),
                                {}, 60s};
    const std::string content(content_size, 'x');
    const auto started = std::chrono::steady_clock::now();
    const client::Result result = c.row.run(helper, anchor(), content, limits);
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(result.kind, client::ResultKind::helper_error);
    EXPECT_EQ(result.helper_error, c.stop == Stop::cancel ? client::HelperError::cancelled : client::HelperError::timed_out)
        << client::helper_error_name(result.helper_error);
    // The helper saw the short input within the grace period and answered.
    EXPECT_EQ(result.line, R"({"ok":false,"code":"EINVAL","errno":22})");
    EXPECT_EQ(result.exit_status, 10);
    EXPECT_EQ(result.signal, 0);
    EXPECT_LT(took, client::cancel_grace);
    EXPECT_FALSE(exists(root.at(c.row.absent)));
    if (*c.row.left != '\0') {
        EXPECT_EQ(lstat_of(root.at(c.row.left)).st_size, static_cast<off_t>(relayed));
    }
}

std::vector<StopCase> stop_cases()
{
    std::vector<StopCase> cases;
    for (const CreateRow& row : create_rows)
        for (Stop stop : {Stop::timeout, Stop::cancel})
            cases.push_back({row, stop});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryCreate, ClientLimits, ::testing::ValuesIn(stop_cases()),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return std::string(info.param.row.name)
                                    + (info.param.stop == Stop::cancel ? "_Cancelled" : "_TimedOut");
                         });

TEST(ClientLimitsKill, HelperIgnoringClosedInput_KilledAfterGrace)
{
    temp_root root;
    const client::Helper helper{wrapper(root, "hang", std::string(AREA_DRIVER) + " hang"), {}, 100ms};
    const auto started = std::chrono::steady_clock::now();
    const client::Result result = client::run(helper, {root.path, root.device, root.inode, root.uid},
                                              client::EnsureDir{"d"});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.helper_error, client::HelperError::timed_out);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.line, "");
    EXPECT_GE(took, 100ms + client::cancel_grace);
    EXPECT_LT(took, 100ms + client::cancel_grace + 2s);
}

TEST(ClientLimitsKill, CallTimeout_OverridesHelperDefault)
{
    temp_root root;
    const client::Helper helper{ANCHORFS_BINARY, {}, 0ms}; // every run would be stopped at once
    client::Limits limits;
    limits.timeout = 60s;
    const client::Result result = client::run(helper, {root.path, root.device, root.inode, root.uid},
                                              client::EnsureDir{"d"}, limits);
    EXPECT_TRUE(result.ok()) << client::helper_error_name(result.helper_error) << ": " << result.line;
    EXPECT_TRUE(exists(root.at("d")));
}

} // namespace
