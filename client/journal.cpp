// Records prepared, run, kept in a journal and settled: the bookkeeping a
// parent application needs around the recoverable operations. The helper does
// every change; this file only decides which command to run and, by looking
// at names from a held root descriptor, which word describes what happened.

#include "anchorfs/journal.hpp"
#include "platform/owners.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <nettle/sha2.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace anchorfs::client {

namespace {

std::string sha256_hex(std::string_view bytes)
{
    constexpr char hex[] = "0123456789abcdef";
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    std::string text;
    for (std::uint8_t byte : digest) {
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 0x0F]);
    }
    return text;
}

std::string directory_of(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string(".") : std::string(path.substr(0, slash));
}

std::string in_directory(std::string_view directory, std::string_view leaf)
{
    if (directory.empty() || directory == ".")
        return std::string(leaf);
    std::string out(directory);
    while (!out.empty() && out.back() == '/')
        out.pop_back();
    return out + "/" + std::string(leaf);
}

// A result standing for a failure of the client itself, before any helper run.
Result refused(int error)
{
    Result result;
    result.kind = ResultKind::helper_error;
    result.helper_error = HelperError::spawn_failed;
    result.error = error;
    return result;
}

Result succeeded()
{
    Result result;
    result.kind = ResultKind::success;
    return result;
}

// A fresh random hexadecimal tail of 32 digits (a quarantine leaf's).
std::optional<std::string> random_hex()
{
    QuarantineLeafResult leaf = new_quarantine_leaf();
    if (!leaf.ok())
        return std::nullopt;
    return leaf.leaf.substr(leaf.leaf.size() - 32);
}

// Bookmarks the parent of every name, one bookmark-parent run per distinct directory.
Result bookmark_all(const Helper& helper, const RootAnchor& root, std::initializer_list<RecordName*> names)
{
    std::map<std::string, Bookmark> taken;
    for (RecordName* name : names) {
        std::string directory = directory_of(name->path);
        auto found = taken.find(directory);
        if (found == taken.end()) {
            Result r = run(helper, root, BookmarkParent{name->path});
            if (!r.ok())
                return r;
            found = taken.emplace(directory, r.bookmark).first;
        }
        name->bookmarked = true;
        name->parent = found->second;
    }
    return succeeded();
}

bool scratch_names(Record& record, std::string_view scratch)
{
    std::optional<std::string> staging = random_hex();
    QuarantineLeafResult quarantine = new_quarantine_leaf();
    if (!staging || !quarantine.ok())
        return false;
    record.staging.path = in_directory(scratch, std::string(staging_prefix) + *staging);
    record.quarantine.path = in_directory(scratch, quarantine.leaf);
    return true;
}

// The status of the entry at `path` now, looked up one name at a time from
// the root without following a link. Only chooses the word a settlement
// reports and whether a record is kept; never acted on.
std::optional<struct stat> look_up(const RootAnchor& root, std::string_view path)
{
    unique_fd fd(::open(root.path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || status.st_dev != root.device || status.st_ino != root.inode)
        return std::nullopt;
    std::string_view rest = path;
    for (std::size_t slash = rest.find('/'); slash != std::string_view::npos; slash = rest.find('/')) {
        std::string component(rest.substr(0, slash));
        fd.reset(::openat(fd.get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid())
            return std::nullopt;
        rest.remove_prefix(slash + 1);
    }
    std::string leaf(rest);
    if (::fstatat(fd.get(), leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return status;
}

bool holds(const RootAnchor& root, const RecordName& name, const FileDescription& file)
{
    std::optional<struct stat> status = look_up(root, name.path);
    return status && status->st_dev == file.identity.device && status->st_ino == file.identity.inode;
}

bool effect_in_place(const Record& r)
{
    switch (r.operation) {
    case Operation::rename_excl: return holds(r.root, r.destination, r.file);
    case Operation::rename_swap: return holds(r.root, r.a, r.file2);
    case Operation::link_excl:
        return holds(r.root, r.destination, r.file) || holds(r.root, r.staging, r.file)
               || holds(r.root, r.quarantine, r.file);
    default: return false;
    }
}

// After a failure line: whether the tree clearly shows the state from before
// the operation, so that the record has nothing left to settle.
bool as_before(const Record& r)
{
    switch (r.operation) {
    case Operation::rename_excl: return holds(r.root, r.source, r.file) && !holds(r.root, r.destination, r.file);
    case Operation::rename_swap: return holds(r.root, r.a, r.file1) && holds(r.root, r.b, r.file2);
    case Operation::link_excl:
        return !holds(r.root, r.destination, r.file) && !holds(r.root, r.staging, r.file)
               && !holds(r.root, r.quarantine, r.file);
    case Operation::unlink_checked:
        return holds(r.root, r.source, r.file) && !holds(r.root, r.staging, r.file)
               && !holds(r.root, r.quarantine, r.file);
    default: return false;
    }
}

Settlement attention(const Result& result, std::string problem)
{
    Settlement s;
    s.outcome = Outcome::needs_attention;
    s.result = result;
    s.problem = std::move(problem);
    return s;
}

std::string describe_failure(const Result& r)
{
    if (r.kind == ResultKind::failure)
        return std::string(code_name(r.code)) + " (errno " + std::to_string(r.error) + ")";
    return std::string("helper error ") + helper_error_name(r.helper_error)
           + (r.error != 0 ? " (errno " + std::to_string(r.error) + ")" : "");
}

Settlement settled(Outcome outcome)
{
    Settlement s;
    s.outcome = outcome;
    s.result = succeeded();
    return s;
}

Settlement settle_staged(const Helper& helper, const Record& r)
{
    bool leftover = look_up(r.root, r.staging.path).has_value();
    Result removed = run(helper, r.root, RemovePrivateStagingFile{r.staging.path, r.content_size});
    if (!removed.ok())
        return attention(removed, "remove-private-staging-file: " + describe_failure(removed));
    Result read = run(helper, r.root, ReadPrivateFile{r.final_name.path, r.content_size});
    if (read.kind == ResultKind::failure && read.code == Code::enoent)
        return settled(leftover ? Outcome::undone : Outcome::nothing_to_do);
    if (!read.ok())
        return attention(read, "read-private-file: " + describe_failure(read));
    if (sha256_hex(read.content) != r.content_sha256)
        return attention(read, "the final name holds other content");
    return settled(Outcome::completed);
}

} // namespace

const char* outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::completed: return "completed";
    case Outcome::undone: return "undone";
    case Outcome::nothing_to_do: return "nothing to do";
    case Outcome::needs_attention: return "needs attention";
    }
    return "needs attention";
}

PrepareResult prepare_rename_excl(const Helper& helper, const RootAnchor& root, std::string_view source,
                                  std::string_view destination, const FileDescription& file)
{
    PrepareResult p;
    p.record.operation = Operation::rename_excl;
    p.record.root = root;
    p.record.source.path = source;
    p.record.destination.path = destination;
    p.record.file = file;
    p.failure = bookmark_all(helper, root, {&p.record.source, &p.record.destination});
    return p;
}

PrepareResult prepare_rename_swap(const Helper& helper, const RootAnchor& root, std::string_view a,
                                  std::string_view b, const FileDescription& file1, const FileDescription& file2)
{
    PrepareResult p;
    p.record.operation = Operation::rename_swap;
    p.record.root = root;
    p.record.a.path = a;
    p.record.b.path = b;
    p.record.file1 = file1;
    p.record.file2 = file2;
    p.failure = bookmark_all(helper, root, {&p.record.a, &p.record.b});
    return p;
}

PrepareResult prepare_link_excl(const Helper& helper, const RootAnchor& root, std::string_view source,
                                std::string_view destination, const FileDescription& file, std::string_view scratch)
{
    PrepareResult p;
    p.record.operation = Operation::link_excl;
    p.record.root = root;
    p.record.source.path = source;
    p.record.destination.path = destination;
    p.record.file = file;
    if (!scratch_names(p.record, scratch.empty() ? directory_of(destination) : std::string(scratch))) {
        p.failure = refused(errno);
        return p;
    }
    p.failure = bookmark_all(helper, root,
                             {&p.record.source, &p.record.destination, &p.record.staging, &p.record.quarantine});
    return p;
}

PrepareResult prepare_unlink_checked(const Helper& helper, const RootAnchor& root, std::string_view source,
                                     const FileDescription& file, std::string_view scratch)
{
    PrepareResult p;
    p.record.operation = Operation::unlink_checked;
    p.record.root = root;
    p.record.source.path = source;
    p.record.file = file;
    if (!scratch_names(p.record, scratch.empty() ? directory_of(source) : std::string(scratch))) {
        p.failure = refused(errno);
        return p;
    }
    p.failure = bookmark_all(helper, root, {&p.record.source, &p.record.staging, &p.record.quarantine});
    return p;
}

PrepareResult prepare_create_private_file_staged(const RootAnchor& root, std::string_view final_path,
                                                 std::string_view content)
{
    PrepareResult p;
    p.record.operation = Operation::create_private_file_staged;
    p.record.root = root;
    p.record.final_name.path = final_path;
    p.record.content_size = content.size();
    p.record.content_sha256 = sha256_hex(content);
    std::optional<std::string> staging = random_hex();
    if (!staging) {
        p.failure = refused(errno);
        return p;
    }
    p.record.staging.path = in_directory(directory_of(final_path), std::string(staging_prefix) + *staging);
    p.failure = succeeded();
    return p;
}

Result run_record(const Helper& helper, const Record& r, std::string_view content)
{
    switch (r.operation) {
    case Operation::rename_excl:
        return run(helper, r.root, RenameExcl{r.source.path, r.destination.path, r.file.identity});
    case Operation::rename_swap:
        return run(helper, r.root, RenameSwap{r.a.path, r.b.path, r.file1.identity, r.file2.identity});
    case Operation::link_excl:
        return run(helper, r.root,
                   LinkExcl{r.source.path, r.destination.path, r.staging.path, r.quarantine.path, r.file});
    case Operation::unlink_checked:
        return run(helper, r.root, UnlinkChecked{r.source.path, r.staging.path, r.quarantine.path, r.file});
    case Operation::create_private_file_staged:
        if (content.size() != r.content_size || sha256_hex(content) != r.content_sha256)
            return refused(EINVAL);
        return run(helper, r.root, CreatePrivateFileStaged{r.final_name.path, r.staging.path, content});
    }
    return refused(EINVAL);
}

Settlement settle(const Helper& helper, const Record& r, bool redo)
{
    Result recovered;
    bool had_effect = false;
    switch (r.operation) {
    case Operation::unlink_checked:
        recovered = run(helper, r.root,
                        RecoverUnlink{group_of(r.source), group_of(r.staging), group_of(r.quarantine), r.file});
        if (!recovered.ok())
            return attention(recovered, "recover-unlink: " + describe_failure(recovered));
        return settled(Outcome::completed);
    case Operation::create_private_file_staged: return settle_staged(helper, r);
    case Operation::rename_excl:
        had_effect = effect_in_place(r);
        recovered = run(helper, r.root, RecoverRename{group_of(r.source), group_of(r.destination), r.file});
        break;
    case Operation::rename_swap:
        had_effect = effect_in_place(r);
        recovered = run(helper, r.root, RecoverSwap{group_of(r.a), group_of(r.b), r.file1, r.file2});
        break;
    case Operation::link_excl:
        had_effect = effect_in_place(r);
        recovered = run(helper, r.root,
                        RecoverLink{group_of(r.source), group_of(r.destination), group_of(r.staging),
                                    group_of(r.quarantine), r.file});
        break;
    }
    if (!recovered.ok())
        return attention(recovered, std::string(operation_name(r.operation)) + " recover: " + describe_failure(recovered));
    if (!redo)
        return settled(had_effect ? Outcome::undone : Outcome::nothing_to_do);
    Result again = run_record(helper, r);
    Settlement s = again.ok() ? settled(Outcome::completed) : attention(again, "redo: " + describe_failure(again));
    s.redone = true;
    return s;
}

OpenJournalResult open_journal(const Helper& helper, const RootAnchor& root, std::string_view directory)
{
    OpenJournalResult opened;
    opened.journal = Journal{helper, root, std::string(directory)};
    opened.result = run(helper, root, EnsurePrivateDir{std::string(directory)});
    return opened;
}

WriteRecordResult write_record(const Journal& journal, const Record& record)
{
    WriteRecordResult written;
    std::string bytes = encode_record(record);
    std::optional<std::string> tail = random_hex();
    if (!tail) {
        written.result = refused(errno);
        return written;
    }
    written.entry.path = journal.directory + "/" + operation_name(record.operation) + "." + *tail + ".json";
    written.entry.record = record;
    written.entry.size = bytes.size();
    written.entry.sha256 = sha256_hex(bytes);
    written.result = run(journal.helper, journal.root, CreatePrivateFile{written.entry.path, bytes});
    return written;
}

Result remove_entry(const Journal& journal, const JournalEntry& entry)
{
    return run(journal.helper, journal.root, RemovePrivateFile{entry.path, entry.size, entry.sha256});
}

EntriesResult journal_entries(const Journal& journal)
{
    EntriesResult listed;
    const RootAnchor& root = journal.root;
    unique_fd fd(::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        listed.error = errno;
        return listed;
    }
    if (status.st_dev != root.device || status.st_ino != root.inode || status.st_uid != root.uid) {
        listed.error = ESTALE;
        return listed;
    }
    std::string_view rest = journal.directory;
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string component(rest.substr(0, slash));
        fd.reset(::openat(fd.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            listed.error = errno;
            return listed;
        }
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    }
    if (::fstat(fd.get(), &status) != 0) {
        listed.error = errno;
        return listed;
    }
    if (status.st_uid != root.uid || (status.st_mode & 07777) != 0700) {
        listed.error = ESTALE; // not a private directory
        return listed;
    }
    unique_dir stream(::fdopendir(fd.get()));
    if (stream.dir == nullptr) {
        listed.error = errno;
        return listed;
    }
    (void)fd.release(); // the stream closes it now
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = ::readdir(stream.dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
        errno = 0;
    }
    if (errno != 0) {
        listed.error = errno;
        return listed;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        JournalEntry entry;
        entry.path = journal.directory + "/" + name;
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json") {
            entry.problem = "not a record's name";
        } else {
            Result read = run(journal.helper, root, ReadPrivateFile{entry.path, max_record_size});
            if (!read.ok()) {
                entry.problem = "unreadable: " + describe_failure(read);
            } else {
                entry.size = read.content.size();
                entry.sha256 = sha256_hex(read.content);
                DecodeRecordResult decoded = decode_record(read.content);
                if (decoded.ok())
                    entry.record = decoded.record;
                else
                    entry.problem = "torn or foreign record: " + decoded.problem;
            }
        }
        listed.entries.push_back(std::move(entry));
    }
    return listed;
}

Result run_journalled(const Journal& journal, const Record& record, std::string_view content)
{
    // Refused before the record is written, so that a refused call leaves none.
    if (record.operation == Operation::create_private_file_staged
        && (content.size() != record.content_size || sha256_hex(content) != record.content_sha256))
        return refused(EINVAL);
    WriteRecordResult written = write_record(journal, record);
    if (!written.ok())
        return written.result;
    Result result = run_record(journal.helper, record, content);
    if (result.ok()) {
        Result removed = remove_entry(journal, written.entry);
        return removed.ok() ? result : removed;
    }
    if (result.kind == ResultKind::failure) {
        if (record.operation == Operation::create_private_file_staged) {
            // Any other failure line says the final name never held the file or had it taken away
            // again: the outcome is known even where the final name is another file's (EEXIST), and
            // only a staging file the failure left is still to go. The record stays if that fails.
            if (result.code != Code::race_preserved
                && run(journal.helper, record.root, RemovePrivateStagingFile{record.staging.path, record.content_size})
                       .ok())
                (void)remove_entry(journal, written.entry);
        } else if (as_before(record)) {
            (void)remove_entry(journal, written.entry);
        }
    }
    return result;
}

Settlement settle_entry(const Journal& journal, const JournalEntry& entry, bool redo)
{
    if (!entry.ok()) {
        Settlement s = attention(Result{}, entry.problem);
        s.path = entry.path;
        return s;
    }
    Settlement s = settle(journal.helper, entry.record, redo);
    s.path = entry.path;
    if (s.outcome != Outcome::needs_attention) {
        Result removed = remove_entry(journal, entry);
        if (!removed.ok()) {
            Settlement kept = attention(removed, std::string("settled as ") + outcome_name(s.outcome)
                                                     + ", record not removed: " + describe_failure(removed));
            kept.redone = s.redone;
            kept.path = entry.path;
            return kept;
        }
    }
    return s;
}

SettleAllResult settle_all(const Journal& journal, bool redo)
{
    SettleAllResult all;
    EntriesResult listed = journal_entries(journal);
    if (!listed.ok()) {
        all.error = listed.error;
        return all;
    }
    for (const JournalEntry& entry : listed.entries)
        all.settlements.push_back(settle_entry(journal, entry, redo));
    return all;
}

} // namespace anchorfs::client
