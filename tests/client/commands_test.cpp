// Every command through the client against the real binary: a success and a
// notable failure each, checked as typed results, as the tree afterwards, and
// as result lines that the published schema accepts.

#include "client/result_schema.hpp"
#include "support/checks.hpp"
#include "support/harness.hpp"

#include <anchorfs/client.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace client = anchorfs::client;
using namespace anchorfs::test;

namespace {

const result_schema& schema()
{
    static const result_schema loaded;
    return loaded;
}

class ClientCommands : public ::testing::Test {
protected:
    temp_root root;
    client::Helper helper{ANCHORFS_BINARY, {}, {}};
    std::string quarantine = "trash/" + client::new_quarantine_leaf().leaf;

    void SetUp() override { make_dir(root.at("trash"), 0700); }

    client::RootAnchor anchor() const { return {root.path, root.device, root.inode, root.uid}; }

    // Runs a request; the answer must be one the protocol allows, in a line the schema accepts.
    template <class Request>
    client::Result run(const Request& request)
    {
        client::Result result = client::run(helper, anchor(), request);
        EXPECT_NE(result.kind, client::ResultKind::helper_error)
            << client::helper_error_name(result.helper_error) << ": " << result.line;
        EXPECT_TRUE(schema().accepts(result.line)) << result.line;
        return result;
    }

    client::FileDescription describe(const std::string& relative) const
    {
        client::DescribeFileResult described = client::describe_file_at(AT_FDCWD, root.at(relative));
        EXPECT_TRUE(described.ok()) << relative << ": errno " << described.error;
        return described.description;
    }

    client::BookmarkedParent group(const std::string& relative)
    {
        client::Result bookmarked = run(client::BookmarkParent{relative});
        EXPECT_TRUE(bookmarked.ok()) << bookmarked.line;
        return client::bookmarked_parent(bookmarked.bookmark, relative);
    }

    void move(const std::string& from, const std::string& to) const
    {
        ASSERT_EQ(std::rename(root.at(from).c_str(), root.at(to).c_str()), 0) << from << " -> " << to;
    }
};

void expect_failure(const client::Result& result, client::Code code, int error)
{
    EXPECT_EQ(result.kind, client::ResultKind::failure) << result.line;
    EXPECT_STREQ(client::code_name(result.code), client::code_name(code)) << result.line;
    EXPECT_EQ(result.error, error);
    EXPECT_EQ(result.race, client::RaceOutcome::none);
    EXPECT_EQ(result.exit_status, exit_failure);
}

// A create's description is what describing the new file afterwards gives.
void expect_description(const client::FileDescription& got, const client::FileDescription& expected)
{
    EXPECT_EQ(got.identity.device, expected.identity.device);
    EXPECT_EQ(got.identity.inode, expected.identity.inode);
    EXPECT_EQ(got.identity.link_count, expected.identity.link_count);
    EXPECT_EQ(got.identity.uid, expected.identity.uid);
    EXPECT_EQ(got.identity.mode, expected.identity.mode);
    EXPECT_EQ(got.size, expected.size);
    EXPECT_EQ(got.mtime_ns, expected.mtime_ns);
    EXPECT_EQ(got.sha256, expected.sha256);
}

TEST_F(ClientCommands, BookmarkParent_ExistingParent_ReportsItsIdentity_MissingParent_Enoent)
{
    make_dir(root.at("d"));
    client::Result result = run(client::BookmarkParent{"d/x"});
    ASSERT_TRUE(result.ok());
    struct stat d = lstat_of(root.at("d"));
    EXPECT_EQ(result.bookmark.inode, d.st_ino);
    EXPECT_EQ(result.bookmark.device, d.st_dev);
    EXPECT_FALSE(result.bookmark.hex.empty());
    expect_failure(run(client::BookmarkParent{"missing/x"}), client::Code::enoent, ENOENT);
}

TEST_F(ClientCommands, EnsureDir_NewName_ReportsDirectory_FileInTheWay_Enotdir)
{
    client::Result result = run(client::EnsureDir{"photos"});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.directory.inode, lstat_of(root.at("photos")).st_ino);
    EXPECT_EQ(result.directory.mode, static_cast<std::uint64_t>(S_IFDIR | 0700));
    write_file(root.at("file"), "x");
    expect_failure(run(client::EnsureDir{"file"}), client::Code::enotdir, ENOTDIR);
}

TEST_F(ClientCommands, EnsurePrivateDir_NewName_Succeeds_Existing0755_IdentityChangedAndUntouched)
{
    EXPECT_TRUE(run(client::EnsurePrivateDir{"store"}).ok());
    make_dir(root.at("open"), 0755);
    expect_failure(run(client::EnsurePrivateDir{"open"}), client::Code::identity_changed, 116);
    EXPECT_EQ(lstat_of(root.at("open")).st_mode & 07777, 0755u);
}

TEST_F(ClientCommands, CreateFile_StreamsContentWithMode_TakenName_Eexist)
{
    const std::string content("line one\n\0binary\xff", 17);
    const client::Result made = run(client::CreateFile{"a.bin", 0640, content});
    EXPECT_TRUE(made.ok());
    expect_description(made.created, describe("a.bin"));
    EXPECT_EQ(read_file(root.at("a.bin")), content);
    EXPECT_EQ(lstat_of(root.at("a.bin")).st_mode & 07777, 0640u);
    expect_failure(run(client::CreateFile{"a.bin", 0644, "other"}), client::Code::eexist, EEXIST);
    EXPECT_EQ(read_file(root.at("a.bin")), content);
}

TEST_F(ClientCommands, CreatePrivateFile_EmptyContent_Creates0600_TakenName_Eexist)
{
    const client::Result made = run(client::CreatePrivateFile{"p", ""});
    EXPECT_TRUE(made.ok());
    expect_description(made.created, describe("p"));
    EXPECT_EQ(lstat_of(root.at("p")).st_mode & 07777, 0600u);
    EXPECT_EQ(lstat_of(root.at("p")).st_size, 0);
    expect_failure(run(client::CreatePrivateFile{"p", "x"}), client::Code::eexist, EEXIST);
}

TEST_F(ClientCommands, RenameExcl_FreeName_Moves_TakenName_EexistNothingMoved)
{
    write_file(root.at("a"), "a");
    write_file(root.at("taken"), "t");
    client::FileIdentity a = describe("a").identity;
    expect_failure(run(client::RenameExcl{"a", "taken", a}), client::Code::eexist, EEXIST);
    EXPECT_EQ(read_file(root.at("taken")), "t");
    EXPECT_TRUE(run(client::RenameExcl{"a", "b", a}).ok());
    EXPECT_FALSE(exists(root.at("a")));
    EXPECT_EQ(lstat_of(root.at("b")).st_ino, a.inode);
}

TEST_F(ClientCommands, RenameSwap_Exchanges_SecondRunWithSameIdentities_IdentityChanged)
{
    write_file(root.at("a"), "one");
    write_file(root.at("b"), "two");
    client::RenameSwap swap{"a", "b", describe("a").identity, describe("b").identity};
    EXPECT_TRUE(run(swap).ok());
    EXPECT_EQ(read_file(root.at("a")), "two");
    expect_failure(run(swap), client::Code::identity_changed, 116);
    EXPECT_EQ(read_file(root.at("a")), "two");
}

TEST_F(ClientCommands, LinkExcl_FreeName_AddsLink_TakenDestination_Eexist)
{
    write_file(root.at("a"), "a");
    write_file(root.at("taken"), "t");
    client::FileDescription a = describe("a");
    expect_failure(run(client::LinkExcl{"a", "taken", "trash/s", quarantine, a}), client::Code::eexist, EEXIST);
    EXPECT_TRUE(run(client::LinkExcl{"a", "b", "trash/s", quarantine, a}).ok());
    EXPECT_EQ(lstat_of(root.at("b")).st_ino, a.identity.inode);
    EXPECT_EQ(lstat_of(root.at("a")).st_nlink, 2u);
}

TEST_F(ClientCommands, UnlinkChecked_DescribedFile_Deleted_ChangedContent_IdentityChangedFileKept)
{
    write_file(root.at("a"), "same");
    client::FileDescription described = describe("a");
    {
        int fd = ::open(root.at("a").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "diff", 4, 0), 4);
        ::close(fd);
    }
    client::FileDescription changed = described;
    changed.mtime_ns = describe("a").mtime_ns; // only the digest tells the change
    expect_failure(run(client::UnlinkChecked{"a", "trash/s", quarantine, changed}), client::Code::identity_changed,
                   116);
    EXPECT_EQ(read_file(root.at("a")), "diff");
    EXPECT_TRUE(run(client::UnlinkChecked{"a", "trash/s", quarantine, describe("a")}).ok());
    EXPECT_FALSE(exists(root.at("a")));
    EXPECT_FALSE(exists(root.at("trash/s")));
    EXPECT_FALSE(exists(root.at(quarantine)));
}

TEST_F(ClientCommands, QuarantinePrivateTree_Moves_BothNamesDirectories_Einval)
{
    make_dir(root.at("tree"), 0700);
    write_file(root.at("tree/f"), "f", 0600);
    EXPECT_TRUE(run(client::QuarantinePrivateTree{"tree", "tree.old"}).ok());
    EXPECT_TRUE(exists(root.at("tree.old/f")));
    make_dir(root.at("tree"), 0700);
    expect_failure(run(client::QuarantinePrivateTree{"tree", "tree.old"}), client::Code::einval, EINVAL);
}

TEST_F(ClientCommands, RemovePrivateTree_OverBudget_E2bigThenRerunFinishes_ZeroBudget_Einval)
{
    make_dir(root.at("tree"), 0700);
    for (const char* name : {"1", "2", "3"})
        write_file(root.at(std::string("tree/") + name), name, 0600);
    expect_failure(run(client::RemovePrivateTree{"tree", 0, 4}), client::Code::einval, EINVAL);
    expect_failure(run(client::RemovePrivateTree{"tree", 2, 4}), client::Code::e2big, E2BIG);
    EXPECT_TRUE(run(client::RemovePrivateTree{"tree", 2, 4}).ok());
    EXPECT_FALSE(exists(root.at("tree")));
}

TEST_F(ClientCommands, CreatePrivateFileStaged_LandsUnderFinalName_TakenFinalName_Eexist)
{
    const client::Result made = run(client::CreatePrivateFileStaged{"settings", ".settings.staging", "{}"});
    EXPECT_TRUE(made.ok());
    expect_description(made.created, describe("settings"));
    EXPECT_EQ(read_file(root.at("settings")), "{}");
    EXPECT_FALSE(exists(root.at(".settings.staging")));
    expect_failure(run(client::CreatePrivateFileStaged{"settings", ".settings.staging", "[]"}),
                   client::Code::eexist, EEXIST);
    EXPECT_FALSE(exists(root.at(".settings.staging")));
}

TEST_F(ClientCommands, RemovePrivateStagingFile_LeftFile_Removed_DirectoryInstead_Einval)
{
    write_file(root.at("left"), "partial", 0600);
    EXPECT_TRUE(run(client::RemovePrivateStagingFile{"left", 100}).ok());
    EXPECT_FALSE(exists(root.at("left")));
    make_dir(root.at("dir"), 0700);
    expect_failure(run(client::RemovePrivateStagingFile{"dir", 100}), client::Code::einval, EINVAL);
}

TEST_F(ClientCommands, ReadPrivateFile_ReturnsExactBytes_SecondHardLink_IdentityChanged)
{
    const std::string content("a\nb\0c\n", 6);
    write_file(root.at("p"), content, 0644);
    client::Result result = run(client::ReadPrivateFile{"p", 6});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.content, content);
    EXPECT_EQ(lstat_of(root.at("p")).st_mode & 07777, 0600u);
    ASSERT_EQ(::link(root.at("p").c_str(), root.at("p2").c_str()), 0);
    expect_failure(run(client::ReadPrivateFile{"p", 6}), client::Code::identity_changed, 116);
}

TEST_F(ClientCommands, ReadExternalFile_RightParent_ReturnsBytes_WrongParent_Einval)
{
    make_dir(root.at("ext"));
    write_file(root.at("ext/f"), "external");
    struct stat parent = lstat_of(root.at("ext"));
    client::ReadExternalFile request{"ext/f", 100, parent.st_dev, parent.st_ino, parent.st_uid};
    client::Result result = run(request);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.content, "external");
    request.parent_inode = root.inode;
    expect_failure(run(request), client::Code::einval, EINVAL);
}

TEST_F(ClientCommands, RemovePrivateFile_OtherDigest_IdentityChangedKept_ItsDescription_Deletes)
{
    write_file(root.at("p"), "content", 0600);
    expect_failure(run(client::RemovePrivateFile{"p", 7, sha256_hex("CONTENT")}), client::Code::identity_changed,
                   116);
    EXPECT_TRUE(exists(root.at("p")));
    EXPECT_TRUE(run(client::RemovePrivateFile{"p", describe("p")}).ok());
    EXPECT_FALSE(exists(root.at("p")));
}

TEST_F(ClientCommands, RecoverRename_RenamedFile_MovedBack_NeitherName_IdentityChanged)
{
    write_file(root.at("a"), "a");
    client::RecoverRename request{group("a"), group("b"), describe("a")};
    move("a", "b"); // as a rename-excl that died before its report leaves it
    EXPECT_TRUE(run(request).ok());
    EXPECT_EQ(read_file(root.at("a")), "a");
    EXPECT_FALSE(exists(root.at("b")));
    move("a", "elsewhere");
    expect_failure(run(request), client::Code::identity_changed, 116);
    EXPECT_TRUE(exists(root.at("elsewhere")));
}

TEST_F(ClientCommands, RecoverSwap_SwappedFiles_SwappedBack_OneNameMissing_IdentityChanged)
{
    write_file(root.at("a"), "one");
    write_file(root.at("b"), "two");
    client::RecoverSwap request{group("a"), group("b"), describe("a"), describe("b")};
    ASSERT_EQ(::renameat2(AT_FDCWD, root.at("a").c_str(), AT_FDCWD, root.at("b").c_str(), RENAME_EXCHANGE), 0);
    EXPECT_TRUE(run(request).ok());
    EXPECT_EQ(read_file(root.at("a")), "one");
    EXPECT_EQ(read_file(root.at("b")), "two");
    move("b", "elsewhere");
    expect_failure(run(request), client::Code::identity_changed, 116);
}

TEST_F(ClientCommands, RecoverUnlink_FileUnderStaging_Deleted_QuarantineInOtherDirectory_IdentityChanged)
{
    write_file(root.at("a"), "a");
    make_dir(root.at("other"), 0700);
    client::RecoverUnlink request{group("a"), group("trash/s"), group(quarantine), describe("a")};
    client::RecoverUnlink split = request;
    split.quarantine = group("other/" + request.quarantine.leaf);
    move("a", "trash/s"); // the first step of unlink-checked, then a crash
    expect_failure(run(split), client::Code::identity_changed, 116);
    EXPECT_TRUE(exists(root.at("trash/s")));
    EXPECT_TRUE(run(request).ok());
    EXPECT_FALSE(exists(root.at("trash/s")));
    EXPECT_TRUE(run(request).ok()) << "a settled unlink settles again without change";
}

TEST_F(ClientCommands, RecoverLink_CompletedLink_Removed_OnlyRemainingName_IdentityChangedNothingDeleted)
{
    write_file(root.at("a"), "a");
    client::RecoverLink request{group("a"), group("b"), group("trash/s"), group(quarantine), describe("a")};
    ASSERT_EQ(::link(root.at("a").c_str(), root.at("b").c_str()), 0);
    EXPECT_TRUE(run(request).ok());
    EXPECT_FALSE(exists(root.at("b")));
    EXPECT_EQ(lstat_of(root.at("a")).st_nlink, 1u);
    // With the source name gone, the destination is the file's last name.
    move("a", "b");
    expect_failure(run(request), client::Code::identity_changed, 116);
    EXPECT_EQ(read_file(root.at("b")), "a");
}

TEST_F(ClientCommands, AnyCommand_ReplacedRoot_RootIdentityChanged)
{
    client::RootAnchor stale = anchor();
    stale.inode += 1;
    client::Result result = client::run(helper, stale, client::EnsureDir{"x"});
    expect_failure(result, client::Code::root_identity_changed, 116);
    EXPECT_TRUE(schema().accepts(result.line));
    EXPECT_FALSE(exists(root.at("x")));
}

// Arguments the helper would refuse are refused before it is started, with
// the rule they broke: the helper here does not exist, so any run would be a
// spawn failure.
TEST(ClientArguments, RefusedBeforeAnyRun_NamesTheRule)
{
    const client::Helper missing{"/nonexistent/anchorfs", {}, {}};
    const client::RootAnchor root{"/nonexistent-root", 1, 2, 0};
    const std::string big(client::max_content_size + 1, 'x');
    const struct {
        client::Result result;
        const char* refusal;
    } cases[] = {
        {client::run(missing, root, client::EnsureDir{"/etc"}), "path: absolute"},
        {client::run(missing, root, client::EnsureDir{"a/../b"}), "path: a . or .. component"},
        {client::run(missing, root, client::EnsureDir{"a\u200bb"}), "path: a zero-width or direction-changing"},
        {client::run(missing, root, client::EnsureDir{std::string(256, 'x')}), "path: a component over 255 bytes"},
        {client::run(missing, root, client::CreatePrivateFile{"f", big}), "content: content over 67108864"},
        {client::run(missing, root, client::CreateFile{"f", 0100644, "x"}), "mode: permission bits only"},
        {client::run(missing, root, client::RenameExcl{"a", "b", {1, 2, 1, 0, 0644}}), "file: an identity's mode"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result.kind, client::ResultKind::failure) << c.refusal;
        EXPECT_EQ(c.result.code, client::Code::einval) << c.refusal;
        EXPECT_EQ(c.result.error, EINVAL);
        EXPECT_EQ(c.result.refusal.rfind(c.refusal, 0), 0u) << c.result.refusal;
        EXPECT_EQ(c.result.line, "");
    }
}

// The one line the client can never provoke: a command line that is too short.
TEST(ProtocolLine, TooFewArguments_InvalidProtocolFitsSchema)
{
    run_result run = run_anchorfs({"ensure-dir"});
    EXPECT_EQ(run.exit_code, exit_protocol);
    ASSERT_FALSE(run.out.empty());
    EXPECT_TRUE(schema().accepts(run.out.substr(0, run.out.size() - 1))) << run.out;
}

} // namespace
