// A small parent application on the anchorfs client library:
//
//   1. keeps its settings in a private store, written with
//      create-private-file-staged so that the final name never holds half a file;
//   2. replaces a document by a new version with rename-swap;
//   3. deletes the old version with the steps of unlink-checked and, when that
//      is interrupted after its first step (here: done by hand, as a crash
//      would leave it), settles it with recover-unlink from bookmarks taken
//      before the mutation.
//
// Usage: stage_swap_recover HELPER [WORK_DIR]
// Without WORK_DIR it works in a fresh directory below /tmp and removes it.

#include <anchorfs/client.hpp>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace client = anchorfs::client;

namespace {

// Prints what the helper answered; true on success.
bool report(const char* what, const client::Result& result)
{
    switch (result.kind) {
    case client::ResultKind::success:
        std::printf("%-28s ok\n", what);
        return true;
    case client::ResultKind::failure:
        std::printf("%-28s failed: %s (errno %d)%s\n", what, client::code_name(result.code), result.error,
                    result.race == client::RaceOutcome::rolled_back ? ", rolled back"
                    : result.race == client::RaceOutcome::preserved ? ", new state kept"
                                                                    : "");
        return false;
    case client::ResultKind::helper_error:
        break;
    }
    std::printf("%-28s helper error: %s (line '%s', exit %d)\n", what,
                client::helper_error_name(result.helper_error), result.line.c_str(), result.exit_status);
    return false;
}

bool describe(const client::RootAnchor& root, const std::string& relative, client::FileDescription& out)
{
    client::DescribeFileResult described = client::describe_file_at(AT_FDCWD, root.path + "/" + relative);
    if (!described.ok()) {
        std::printf("describe %s: errno %d\n", relative.c_str(), described.error);
        return false;
    }
    out = described.description;
    return true;
}

int run_example(const client::Helper& helper, const std::string& work)
{
    const std::string root_path = work + "/root";
    if (::mkdir(root_path.c_str(), 0755) != 0) {
        std::perror("mkdir root");
        return 1;
    }
    client::AnchorRootResult anchored = client::anchor_root(root_path);
    if (!anchored.ok()) {
        std::printf("anchor_root: errno %d\n", anchored.error);
        return 1;
    }
    const client::RootAnchor& root = anchored.root;

    // 1. Settings in the private store, staged.
    if (!report("ensure-private-dir store", client::run(helper, root, client::EnsurePrivateDir{"store"})))
        return 1;
    const std::string settings = "{\"theme\":\"dark\"}\n";
    client::CreatePrivateFileStaged staged{"store/settings.json", "store/.settings.json.staging", settings};
    if (!report("create-private-file-staged", client::run(helper, root, staged)))
        return 1;
    client::Result read = client::run(helper, root, client::ReadPrivateFile{"store/settings.json", 4096});
    if (!report("read-private-file", read) || read.content != settings)
        return 1;

    // 2. A document replaced by its new version in one atomic swap.
    if (!report("ensure-dir documents", client::run(helper, root, client::EnsureDir{"documents"}))
        || !report("create-file report.txt",
                   client::run(helper, root, client::CreateFile{"documents/report.txt", 0644, "draft 1\n"}))
        || !report("create-file report.txt.new",
                   client::run(helper, root, client::CreateFile{"documents/report.txt.new", 0644, "draft 2\n"})))
        return 1;
    client::FileDescription old_version, new_version;
    if (!describe(root, "documents/report.txt", old_version) || !describe(root, "documents/report.txt.new", new_version))
        return 1;
    client::RenameSwap swap{"documents/report.txt.new", "documents/report.txt", new_version.identity,
                            old_version.identity};
    if (!report("rename-swap", client::run(helper, root, swap)))
        return 1;

    // 3. The old version, now under report.txt.new, is deleted through a
    // staging name and a durable quarantine name. Before anything is moved,
    // the application bookmarks every directory involved and keeps the
    // bookmarks with its record of the operation.
    if (!report("ensure-dir documents/.trash", client::run(helper, root, client::EnsureDir{"documents/.trash"})))
        return 1;
    client::QuarantineLeafResult leaf = client::new_quarantine_leaf();
    if (!leaf.ok())
        return 1;
    const std::string source = "documents/report.txt.new";
    const std::string staging = "documents/.trash/report.txt.staging";
    const std::string quarantine = "documents/.trash/" + leaf.leaf;
    client::RecoverUnlink recovery;
    recovery.file = old_version;
    struct named {
        const std::string* path;
        client::BookmarkedParent* group;
    };
    for (named n : {named{&source, &recovery.source}, named{&staging, &recovery.staging},
                    named{&quarantine, &recovery.quarantine}}) {
        client::Result bookmarked = client::run(helper, root, client::BookmarkParent{*n.path});
        if (!report("bookmark-parent", bookmarked))
            return 1;
        *n.group = client::bookmarked_parent(bookmarked.bookmark, *n.path);
    }

    // The run that would have done this is interrupted right after its first
    // step, the exclusive move to the staging name. Here the move is made by
    // hand, leaving the tree exactly as such a crash leaves it.
    std::error_code error;
    std::filesystem::rename(root_path + "/" + source, root_path + "/" + staging, error);
    if (error) {
        std::printf("simulated first step: %s\n", error.message().c_str());
        return 1;
    }
    std::printf("%-28s (simulated crash after the move to staging)\n", "unlink-checked");

    // After the restart: settle it. A second run finds nothing left to do.
    if (!report("recover-unlink", client::run(helper, root, recovery))
        || !report("recover-unlink (again)", client::run(helper, root, recovery)))
        return 1;

    for (const std::string* gone : {&source, &staging, &quarantine}) {
        std::error_code missing;
        if (std::filesystem::exists(std::filesystem::symlink_status(root_path + "/" + *gone, missing))) {
            std::printf("still present: %s\n", gone->c_str());
            return 1;
        }
    }
    client::FileDescription current;
    if (!describe(root, "documents/report.txt", current) || current.sha256 != new_version.sha256)
        return 1;
    std::printf("done: report.txt holds draft 2, draft 1 is deleted, settings are private\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s HELPER [WORK_DIR]\n", argv[0]);
        return 2;
    }
    client::Helper helper{argv[1], {}, {}};
    std::string work;
    bool scratch = argc == 2;
    if (scratch) {
        char pattern[] = "/tmp/anchorfs-example-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        work = pattern;
    } else {
        work = argv[2];
    }
    int status = run_example(helper, work);
    if (scratch) {
        std::error_code ignored;
        std::filesystem::remove_all(work, ignored);
    }
    return status;
}
