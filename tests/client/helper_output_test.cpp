// What the client believes of a helper: fake helpers that print broken
// answers are reported as helper errors (and the schema agrees wherever the
// line itself is at fault); the real helper's content streams both ways at
// the 64 MiB limit without deadlock, also when it stops reading early.

#include "client/result_schema.hpp"
#include "support/harness.hpp"

#include <anchorfs/client.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace client = anchorfs::client;
using namespace anchorfs::test;

namespace {

// Which request runs against the fake helper, and so which answer fits.
enum class asked { plain, plain_without_races, directory, bookmark, size_up_to_10 };

struct bad_answer {
    const char* name;
    std::string output;
    int exit_status;
    asked request;
    client::HelperError expected;
    bool line_fits_schema; // false where the line alone is already wrong
};

const bad_answer bad_answers[] = {
    {"Silent", "", 10, asked::plain, client::HelperError::no_line, false},
    {"NotDelivered", "", 11, asked::plain, client::HelperError::result_not_delivered, false},
    {"NotDeliveredAfterSizeLine", "{\"ok\":true,\"size\":\"3\"}\na", 11, asked::size_up_to_10,
     client::HelperError::result_not_delivered, true},
    {"NotJson", "garbage\n", 10, asked::plain, client::HelperError::malformed_line, false},
    {"NoLineEnd", "{\"ok\":true}", 0, asked::plain, client::HelperError::malformed_line, true},
    {"TruncatedObject", "{\"ok\":true,\n", 0, asked::plain, client::HelperError::malformed_line, false},
    {"DuplicateKey", "{\"ok\":true,\"ok\":true}\n", 0, asked::plain, client::HelperError::malformed_line, true},
    {"TwoLines", "{\"ok\":true}\n{\"ok\":true}\n", 0, asked::plain, client::HelperError::extra_output, true},
    {"UnknownCode", "{\"ok\":false,\"code\":\"EAGAIN\",\"errno\":11}\n", 10, asked::plain,
     client::HelperError::unknown_code, false},
    {"NamedCodeWrongErrno", "{\"ok\":false,\"code\":\"ENOENT\",\"errno\":3}\n", 10, asked::plain,
     client::HelperError::wrong_shape, false},
    {"EstaleAsFilesystemError", "{\"ok\":false,\"code\":\"FILESYSTEM_ERROR\",\"errno\":116}\n", 10, asked::plain,
     client::HelperError::wrong_shape, false},
    {"ErrnoAsString", "{\"ok\":false,\"code\":\"EINVAL\",\"errno\":\"22\"}\n", 10, asked::plain,
     client::HelperError::wrong_shape, false},
    {"RaceFromCommandWithoutRaces", "{\"ok\":false,\"code\":\"RACE_PRESERVED\",\"errno\":116}\n", 10,
     asked::plain_without_races, client::HelperError::wrong_shape, true},
    {"PlainForDirectoryCommand", "{\"ok\":true}\n", 0, asked::directory, client::HelperError::wrong_shape, true},
    {"DirectoryLineWithFileMode", "{\"ok\":true,\"device\":\"1\",\"inode\":\"2\",\"uid\":\"0\",\"mode\":\"33188\"}\n",
     0, asked::directory, client::HelperError::wrong_shape, true},
    {"NumbersNotStrings", "{\"ok\":true,\"device\":1,\"inode\":2,\"uid\":0,\"mode\":16832}\n", 0, asked::directory,
     client::HelperError::wrong_shape, false},
    {"UppercaseBookmark", "{\"ok\":true,\"bookmark\":\"AB\",\"device\":\"1\",\"inode\":\"2\",\"uid\":\"0\"}\n", 0,
     asked::bookmark, client::HelperError::wrong_shape, false},
    {"OddBookmark", "{\"ok\":true,\"bookmark\":\"abc\",\"device\":\"1\",\"inode\":\"2\",\"uid\":\"0\"}\n", 0,
     asked::bookmark, client::HelperError::wrong_shape, false},
    {"SizeWithLeadingZero", "{\"ok\":true,\"size\":\"03\"}\nabc", 0, asked::size_up_to_10,
     client::HelperError::wrong_shape, false},
    {"SizeAboveBound", "{\"ok\":true,\"size\":\"11\"}\n01234567890", 0, asked::size_up_to_10,
     client::HelperError::wrong_shape, true},
    {"FewerBytesThanAnnounced", "{\"ok\":true,\"size\":\"5\"}\nabc", 0, asked::size_up_to_10,
     client::HelperError::missing_bytes, true},
    {"MoreBytesThanAnnounced", "{\"ok\":true,\"size\":\"3\"}\nabcd", 0, asked::size_up_to_10,
     client::HelperError::extra_output, true},
    {"SuccessWithFailureStatus", "{\"ok\":true}\n", 10, asked::plain, client::HelperError::exit_status_mismatch, true},
    {"FailureWithSuccessStatus", "{\"ok\":false,\"code\":\"EINVAL\",\"errno\":22}\n", 0, asked::plain,
     client::HelperError::exit_status_mismatch, true},
    {"ProtocolFailureWithStatus10", "{\"ok\":false,\"code\":\"INVALID_PROTOCOL\",\"errno\":22}\n", 10, asked::plain,
     client::HelperError::exit_status_mismatch, true},
};

class FakeHelper : public ::testing::TestWithParam<bad_answer> {
protected:
    temp_root scratch;

    // A helper that prints `output` byte for byte, runs `extra` and exits with `status`.
    client::Helper fake(const std::string& output, int status, const std::string& extra = "")
    {
        write_file(scratch.beside("output"), output);
        const std::string script = scratch.beside("helper");
        write_file(script, "#!/bin/sh\ncat '" + scratch.beside("output") + "'\n" + extra + "\nexit "
                               + std::to_string(status) + "\n",
                   0755);
        return client::Helper{script, {}, {}};
    }

    client::Result ask(const client::Helper& helper, asked request)
    {
        const client::RootAnchor root{scratch.path, scratch.device, scratch.inode, scratch.uid};
        switch (request) {
        case asked::plain: return client::run(helper, root, client::RenameExcl{"a", "b", {0, 0, 1, 0, 0100644}});
        case asked::plain_without_races: return client::run(helper, root, client::QuarantinePrivateTree{"a", "b"});
        case asked::directory: return client::run(helper, root, client::EnsureDir{"d"});
        case asked::bookmark: return client::run(helper, root, client::BookmarkParent{"d"});
        case asked::size_up_to_10: return client::run(helper, root, client::ReadPrivateFile{"f", 10});
        }
        throw std::logic_error("unknown request");
    }
};

TEST_P(FakeHelper, BrokenAnswer_ReportedAsHelperError)
{
    const bad_answer& answer = GetParam();
    client::Result result = ask(fake(answer.output, answer.exit_status), answer.request);
    EXPECT_EQ(result.kind, client::ResultKind::helper_error) << result.line;
    EXPECT_STREQ(client::helper_error_name(result.helper_error), client::helper_error_name(answer.expected));
    EXPECT_TRUE(result.content.empty());
    static const result_schema schema;
    const std::string line = answer.output.substr(0, answer.output.find('\n'));
    EXPECT_EQ(schema.accepts(line), answer.line_fits_schema) << line;
}

INSTANTIATE_TEST_SUITE_P(Answers, FakeHelper, ::testing::ValuesIn(bad_answers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeHelper, WellFormedAnswers_Believed)
{
    client::Result read = ask(fake(std::string("{\"ok\":true,\"size\":\"4\"}\na\nb\0", 27), 0), asked::size_up_to_10);
    ASSERT_TRUE(read.ok()) << client::helper_error_name(read.helper_error);
    EXPECT_EQ(read.content, std::string("a\nb\0", 4));
    client::Result raced = ask(fake("{\"ok\":false,\"code\":\"RACE_ROLLED_BACK\",\"errno\":116}\n", 10), asked::plain);
    EXPECT_EQ(raced.kind, client::ResultKind::failure);
    EXPECT_EQ(raced.race, client::RaceOutcome::rolled_back);
}

TEST_F(FakeHelper, WritesToStderr_UnexpectedStderr)
{
    client::Result result = ask(fake("{\"ok\":true}\n", 0, "echo oops >&2"), asked::plain);
    EXPECT_EQ(result.helper_error, client::HelperError::unexpected_stderr);
}

TEST_F(FakeHelper, KilledBySignal_KilledBySignal)
{
    client::Result result = ask(fake("", 0, "kill -9 $$"), asked::plain);
    EXPECT_EQ(result.helper_error, client::HelperError::killed_by_signal);
    EXPECT_EQ(result.signal, 9);
}

TEST_F(FakeHelper, EndlessOutputAfterLine_StoppedAsExtraOutput)
{
    client::Result result = ask(fake("{\"ok\":true}\n", 0, "exec yes"), asked::plain);
    EXPECT_EQ(result.helper_error, client::HelperError::extra_output);
}

TEST_F(FakeHelper, MissingProgram_SpawnFailedWithErrno)
{
    client::Result result = ask(client::Helper{scratch.beside("no-such-helper"), {}, {}}, asked::plain);
    EXPECT_EQ(result.helper_error, client::HelperError::spawn_failed);
    EXPECT_EQ(result.error, ENOENT);
}

// The real helper, at the content limit in both directions.
class Streaming : public ::testing::Test {
protected:
    temp_root root;
    client::Helper helper{ANCHORFS_BINARY, {}, {}};
    client::RootAnchor anchor() const { return {root.path, root.device, root.inode, root.uid}; }
};

TEST_F(Streaming, SixtyFourMiB_WrittenAndReadBack)
{
    std::string content(client::max_content_size, '\0');
    for (std::size_t i = 0; i < content.size(); i += 4093)
        content[i] = static_cast<char>(i / 4093);
    ASSERT_TRUE(client::run(helper, anchor(), client::CreatePrivateFile{"big", content}).ok());
    client::Result read = client::run(helper, anchor(), client::ReadPrivateFile{"big", client::max_content_size});
    ASSERT_TRUE(read.ok()) << client::helper_error_name(read.helper_error) << " " << read.line;
    EXPECT_TRUE(read.content == content);
}

// The helper refuses before it reads its input: the client sees the pipe
// close (no SIGPIPE ends this process) and reports the helper's answer.
TEST_F(Streaming, HelperStopsReadingEarly_AnswerReportedNoSigpipe)
{
    write_file(root.at("taken"), "x");
    const std::string content(client::max_content_size, 'x');
    client::Result result = client::run(helper, anchor(), client::CreateFile{"taken", 0644, content});
    EXPECT_EQ(result.kind, client::ResultKind::failure) << client::helper_error_name(result.helper_error);
    EXPECT_EQ(result.code, client::Code::eexist);
}

} // namespace
