// A small photo library on the anchorfs client library. Every step that moves
// or deletes a file goes through the client's journal, so that a crash at any
// point is settled the next time the library starts:
//
//   - photos arrive in incoming/ and are imported into photos/ by an
//     exclusive rename, which never replaces a photo already there;
//   - a thumbnail of each is kept in the private cache .cache/, written
//     through a staging name so that the cache never shows half a thumbnail;
//   - an edited version replaces a photo by an atomic swap, and the old
//     version is pruned with unlink-checked, which deletes it only while it is
//     unchanged; so is a photo the user deletes;
//   - at start-up every record a crash left in the journal is settled, and an
//     import or swap that was undone is run again (settle_all with redo).
//
// Usage: stage_swap_recover [--settle] HELPER [WORK_DIR]
// Without WORK_DIR the library is made in a fresh directory below /tmp and
// removed afterwards. With --settle only the start-up settlement of the
// library in WORK_DIR/root is run (after a crash), printing one line per
// record settled. The Python twin, stage_swap_recover.py, does the same steps
// with the same bytes.

#include <anchorfs/journal.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace client = anchorfs::client;

namespace {

const std::string incoming = "incoming";
const std::string photos = "photos";
const std::string cache = ".cache";

// What the camera uploads, and the edit of the first photo.
struct upload {
    std::string name;
    std::string_view bytes;
};
const upload camera[] = {
    {"IMG_0001.jpg", "\xff\xd8 IMG_0001: a harbour at dawn\n"},
    {"IMG_0002.jpg", "\xff\xd8 IMG_0002: the same harbour, blurred\n"},
};
constexpr std::string_view edited = "\xff\xd8 IMG_0001: a harbour at dawn, cropped\n";

// A thumbnail names the digest of its photo, which the create that wrote the
// photo reported: nothing is hashed twice.
std::string thumbnail(const client::FileDescription& photo)
{
    return "thumbnail of " + photo.sha256 + "\n";
}

// Prints what a step came to (a success only when `said`); true on success.
bool report(const std::string& what, const client::Result& result, bool said = true)
{
    switch (result.kind) {
    case client::ResultKind::success:
        if (said)
            std::printf("%-44s ok\n", what.c_str());
        return true;
    case client::ResultKind::failure:
        std::printf("%s failed: %s (errno %d)%s%s\n", what.c_str(), client::code_name(result.code), result.error,
                    result.refusal.empty() ? "" : ": ", result.refusal.c_str());
        return false;
    case client::ResultKind::helper_error:
        break;
    }
    std::printf("%s: helper error %s (line '%s', exit %d)\n", what.c_str(),
                client::helper_error_name(result.helper_error), result.line.c_str(), result.exit_status);
    return false;
}

class library {
public:
    explicit library(client::Journal journal) : journal_(std::move(journal)) {}

    const client::RootAnchor& root() const { return journal_.root; }
    const client::Helper& helper() const { return journal_.helper; }

    // Start-up: settles what a crash left in the journal; false when a record
    // needs attention (it stays, and nothing more is done until someone has
    // looked at it).
    bool settle() const
    {
        client::SettleAllResult all = client::settle_all(journal_, true);
        if (!all.ok()) {
            std::printf("journal: errno %d\n", all.error);
            return false;
        }
        bool settled = true;
        for (const client::Settlement& s : all.settlements) {
            std::printf("settled %s: %s%s\n", record_name(s.path).c_str(), client::outcome_name(s.outcome),
                        s.redone ? " (redone)" : "");
            if (s.outcome == client::Outcome::needs_attention) {
                std::printf("  %s: %s\n", s.path.c_str(), s.problem.c_str());
                settled = false;
            }
        }
        return settled;
    }

    bool make_folders() const
    {
        return report("ensure-dir incoming", client::run(helper(), root(), client::EnsureDir{incoming}))
               && report("ensure-dir photos", client::run(helper(), root(), client::EnsureDir{photos}))
               && report("ensure-private-dir .cache", client::run(helper(), root(), client::EnsurePrivateDir{cache}));
    }

    bool import_photo(const std::string& name, const client::FileDescription& arrived) const
    {
        return journalled("rename-excl -> photos/" + name,
                          client::prepare_rename_excl(helper(), root(), incoming + "/" + name, photos + "/" + name,
                                                      arrived));
    }

    bool cache_thumbnail(const std::string& name, const client::FileDescription& photo,
                         client::FileDescription& cached) const
    {
        const std::string data = thumbnail(photo);
        const std::string path = cache + "/" + name + ".thumb";
        const std::string what = "create-private-file-staged " + path;
        client::PrepareResult prepared = client::prepare_create_private_file_staged(root(), path, data);
        if (!report(what + " (prepare)", prepared.failure, false))
            return false;
        client::Result made = client::run_journalled(journal_, prepared.record, data);
        cached = made.created;
        return report(what, made);
    }

    // Deleted only while it holds the bytes this library wrote; a missing one
    // is fine too.
    bool drop_thumbnail(const std::string& name, const client::FileDescription& cached) const
    {
        const std::string path = cache + "/" + name + ".thumb";
        return report("remove-private-file " + path, client::run(helper(), root(), client::RemovePrivateFile{path, cached}));
    }

    // Swaps the edit in under the photo's name, then prunes the old version,
    // now under the edit's.
    bool replace(const std::string& name, const std::string& edit_path, const client::FileDescription& edit,
                 const client::FileDescription& current) const
    {
        return journalled("rename-swap " + edit_path + " <-> photos/" + name,
                          client::prepare_rename_swap(helper(), root(), edit_path, photos + "/" + name, edit, current))
               && prune(edit_path, current);
    }

    // unlink-checked deletes the file only while it has the described
    // identity and content; a photo changed since is refused
    // (IDENTITY_CHANGED) and kept.
    bool prune(const std::string& path, const client::FileDescription& expected) const
    {
        return journalled("unlink-checked " + path, client::prepare_unlink_checked(helper(), root(), path, expected));
    }

private:
    client::Journal journal_;

    bool journalled(const std::string& what, const client::PrepareResult& prepared) const
    {
        return report(what + " (prepare)", prepared.failure, false)
               && report(what, client::run_journalled(journal_, prepared.record));
    }

    // The operation a journal entry's name begins with.
    static std::string record_name(const std::string& path)
    {
        std::string leaf = path.substr(path.rfind('/') + 1);
        return leaf.substr(0, leaf.find('.'));
    }
};

bool open_library(const client::Helper& helper, const std::string& root_path, client::Journal& journal)
{
    client::AnchorRootResult anchored = client::anchor_root(root_path);
    if (!anchored.ok()) {
        std::printf("anchor_root %s: %s\n", root_path.c_str(), std::strerror(anchored.error));
        return false;
    }
    client::OpenJournalResult opened = client::open_journal(helper, anchored.root);
    journal = opened.journal;
    return report("open journal", opened.result, false);
}

std::string contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int run_example(const client::Helper& helper, const std::string& work)
{
    const std::string root_path = work + "/root";
    if (::mkdir(root_path.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror("mkdir root");
        return 1;
    }
    client::Journal journal;
    if (!open_library(helper, root_path, journal))
        return 1;
    const library lib(journal);
    if (!lib.settle() || !lib.make_folders())
        return 1;

    // The camera's upload (made here by the example itself): each create
    // reports the new file's description.
    std::vector<client::FileDescription> arrived, thumbnails(std::size(camera));
    for (const upload& photo : camera) {
        client::Result made
            = client::run(helper, lib.root(), client::CreateFile{incoming + "/" + photo.name, 0644, photo.bytes});
        if (!report("create-file incoming/" + photo.name, made))
            return 1;
        arrived.push_back(made.created);
    }
    for (std::size_t i = 0; i < std::size(camera); ++i)
        if (!lib.import_photo(camera[i].name, arrived[i])
            || !lib.cache_thumbnail(camera[i].name, arrived[i], thumbnails[i]))
            return 1;

    // An edited IMG_0001 replaces the library's copy; the old version and its
    // thumbnail go.
    const std::string& name = camera[0].name;
    const std::string edit_path = incoming + "/IMG_0001.edit.jpg";
    client::Result edit = client::run(helper, lib.root(), client::CreateFile{edit_path, 0644, edited});
    if (!report("create-file " + edit_path, edit) || !lib.replace(name, edit_path, edit.created, arrived[0])
        || !lib.drop_thumbnail(name, thumbnails[0]) || !lib.cache_thumbnail(name, edit.created, thumbnails[0]))
        return 1;

    // The user deletes IMG_0002 from the library.
    if (!lib.prune(photos + "/" + camera[1].name, arrived[1]) || !lib.drop_thumbnail(camera[1].name, thumbnails[1]))
        return 1;

    client::Result read
        = client::run(helper, lib.root(), client::ReadPrivateFile{cache + "/" + name + ".thumb", 4096});
    if (!report("read-private-file " + name + ".thumb", read) || read.content != thumbnail(edit.created)) {
        std::printf("the cache holds another thumbnail\n");
        return 1;
    }
    if (contents(root_path + "/" + photos + "/" + name) != edited) {
        std::printf("photos/%s is not the edit\n", name.c_str());
        return 1;
    }
    std::vector<std::string> left;
    for (const std::string& folder : {incoming, photos, std::string(client::journal_directory)})
        for (const auto& entry : std::filesystem::directory_iterator(root_path + "/" + folder))
            left.push_back(folder + "/" + entry.path().filename().string());
    if (left != std::vector<std::string>{photos + "/" + name}) {
        std::printf("the library holds %zu other entries\n", left.size());
        return 1;
    }
    std::printf("done: photos/ holds the edited IMG_0001, IMG_0002 is deleted, the journal is empty\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool settle_only = argc > 1 && std::strcmp(argv[1], "--settle") == 0;
    const int first = settle_only ? 2 : 1;
    const int given = argc - first;
    if (given < 1 || given > 2 || (settle_only && given != 2)) {
        std::fprintf(stderr, "usage: %s [--settle] HELPER [WORK_DIR]\n", argv[0]);
        return 2;
    }
    client::Helper helper{argv[first], {}, std::chrono::seconds(60)};
    if (settle_only) {
        client::Journal journal;
        const bool opened = open_library(helper, std::string(argv[first + 1]) + "/root", journal);
        return opened && library(journal).settle() ? 0 : 1;
    }
    if (given == 2)
        return run_example(helper, argv[first + 1]);
    char pattern[] = "/tmp/anchorfs-example-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = run_example(helper, pattern);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return status;
}
