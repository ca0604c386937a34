// anchorfs client: operation records, the journal that keeps them durably in
// the private store, and settling them after a crash.
//
// A record holds everything the recover command of one operation needs: the
// root anchor, each name with the bookmark of its parent directory (taken
// before the operation), the descriptions, and the staging and quarantine
// names the client chose. It is written in the JSON form of
// docs/operation-record.schema.json, which every client reads and writes
// alike. A journal is a private directory below the root: a record is on disk
// (content and name flushed, owner-only, no link followed) before its
// operation starts and is removed once the outcome is known. After a crash,
// settle_all() runs the matching recover command of every record left and
// says what it did.
//
// Nothing here throws; every function returns a plain record.
#pragma once

#include <anchorfs/client.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace anchorfs::client {

inline constexpr std::uint64_t record_version = 1;
inline constexpr std::string_view journal_directory = ".anchorfs-journal";
inline constexpr std::string_view staging_prefix = ".anchorfs-staging-";
// Four bookmarks of 131072 hexadecimal digits and the rest fit easily.
inline constexpr std::uint64_t max_record_size = 1 << 20;

enum class Operation { rename_excl, rename_swap, link_excl, unlink_checked, create_private_file_staged };

// "rename-excl", ...: the operation as the record spells it.
const char* operation_name(Operation operation);

// A path below the root and the bookmark of its parent directory; the private
// store's names (a staged create's) carry no bookmark.
struct RecordName {
    std::string path;
    bool bookmarked = false;
    Bookmark parent;
};

// The group a recover command takes for this name.
BookmarkedParent group_of(const RecordName& name);

// One operation. Which names and files are used depends on the operation:
//   rename-excl                source, destination; file
//   rename-swap                a, b; file1 (under a before), file2 (under b before)
//   link-excl                  source, destination, staging, quarantine; file (link count before the link)
//   unlink-checked             source, staging, quarantine; file
//   create-private-file-staged final, staging; content_size, content_sha256
struct Record {
    Operation operation = Operation::rename_excl;
    RootAnchor root;
    RecordName source, destination, a, b, staging, quarantine, final_name;
    FileDescription file, file1, file2;
    std::uint64_t content_size = 0;
    std::string content_sha256;
};

// The record's JSON form: one line ending in a line feed.
std::string encode_record(const Record& record);

struct DecodeRecordResult {
    std::string problem; // empty, or why the bytes are not a record (torn by a crash, foreign)
    Record record;
    bool ok() const { return problem.empty(); }
};

// Refuses anything that is not exactly the published form.
DecodeRecordResult decode_record(std::string_view bytes);

// ---------------------------------------------------------------------------
// Preparing records: one bookmark-parent run per distinct parent directory.
// Staging and quarantine names are fresh names in `scratch` (empty: the
// directory of the destination for a link, of the source for an unlink).

struct PrepareResult {
    Result failure; // a bookmark-parent run that failed, or a random source error in `error`
    Record record;
    bool ok() const { return failure.ok(); }
};

PrepareResult prepare_rename_excl(const Helper& helper, const RootAnchor& root, std::string_view source,
                                  std::string_view destination, const FileDescription& file);
PrepareResult prepare_rename_swap(const Helper& helper, const RootAnchor& root, std::string_view a,
                                  std::string_view b, const FileDescription& file1, const FileDescription& file2);
PrepareResult prepare_link_excl(const Helper& helper, const RootAnchor& root, std::string_view source,
                                std::string_view destination, const FileDescription& file,
                                std::string_view scratch = {});
PrepareResult prepare_unlink_checked(const Helper& helper, const RootAnchor& root, std::string_view source,
                                     const FileDescription& file, std::string_view scratch = {});
// Runs no helper: the staging name is a fresh name in the final name's directory.
PrepareResult prepare_create_private_file_staged(const RootAnchor& root, std::string_view final_path,
                                                 std::string_view content);

// Runs the record's operation. A staged create needs its content; content
// that does not match the record is refused (helper_error spawn_failed with
// error EINVAL) before the helper starts.
Result run_record(const Helper& helper, const Record& record, std::string_view content = {});

// ---------------------------------------------------------------------------
// Settling

enum class Outcome {
    completed,       // the operation's effect is in place (it had finished, or was finished now)
    undone,          // it had taken effect and was reversed: the tree is as before it
    nothing_to_do,   // it had not taken effect: the tree is as before it, unchanged
    needs_attention, // the recover command failed, or the record cannot be believed
};

// "completed", "undone", "nothing to do", "needs attention".
const char* outcome_name(Outcome outcome);

struct Settlement {
    Outcome outcome = Outcome::needs_attention;
    Result result;       // the run that failed, for needs_attention after a command
    std::string problem; // in words, for needs_attention
    bool redone = false; // the operation was run again on request
    std::string path;    // the journal entry, for a settlement through a journal
};

// Runs the recover command of `record`. Recovering a rename, swap or link
// undoes it (undone when it had taken effect, else nothing_to_do); with `redo`
// the operation is then run again (completed, or needs_attention with the
// redo's failure). Recovering an unlink finishes it (completed). A staged
// create's staging file is removed; completed when the final name holds the
// recorded content.
Settlement settle(const Helper& helper, const Record& record, bool redo = false);

// ---------------------------------------------------------------------------
// The journal

struct Journal {
    Helper helper;
    RootAnchor root;
    std::string directory;
};

struct OpenJournalResult {
    Result result; // of ensure-private-dir
    Journal journal;
    bool ok() const { return result.ok(); }
};

// Ensures the private directory (relative to the root) that holds the records.
OpenJournalResult open_journal(const Helper& helper, const RootAnchor& root,
                               std::string_view directory = journal_directory);

// One record in a journal: its path below the root, the size and SHA-256 of
// its bytes, and the record, or the problem that keeps it from being believed.
struct JournalEntry {
    std::string path;
    std::string problem;
    Record record;
    std::uint64_t size = 0;
    std::string sha256;
    bool ok() const { return problem.empty(); }
};

struct WriteRecordResult {
    Result result; // of create-private-file
    JournalEntry entry;
    bool ok() const { return result.ok(); }
};

WriteRecordResult write_record(const Journal& journal, const Record& record);

// remove-private-file of the entry while it holds the bytes that were read or written.
Result remove_entry(const Journal& journal, const JournalEntry& entry);

struct EntriesResult {
    int error = 0; // why the journal could not be listed
    std::vector<JournalEntry> entries;
    bool ok() const { return error == 0; }
};

// Every record in the journal, in name order, read back with read-private-file.
EntriesResult journal_entries(const Journal& journal);

// Writes the record, runs its operation and removes the record once the
// outcome is known. The record stays when the outcome is not known (a
// helper_error) or when, after a failure line, the tree is not clearly as
// before the operation; settle it then. A failure to remove the record after
// the operation succeeded is returned as that failure: the record stays, and
// settling it with redo restores the operation's effect.
Result run_journalled(const Journal& journal, const Record& record, std::string_view content = {});

// Settles one entry and removes it unless the outcome is needs_attention. An
// entry that could not be read or believed is reported, never acted on.
Settlement settle_entry(const Journal& journal, const JournalEntry& entry, bool redo = false);

struct SettleAllResult {
    int error = 0; // why the journal could not be listed
    std::vector<Settlement> settlements;
    bool ok() const { return error == 0; }
};

// Settles every record of the journal: one call at application start-up.
SettleAllResult settle_all(const Journal& journal, bool redo = false);

} // namespace anchorfs::client
