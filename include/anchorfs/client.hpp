// anchorfs client: typed requests for the twenty anchorfs commands, a runner
// that starts the helper and reads its one result line, and the helpers a
// parent application needs to fill the requests in (file descriptions, root
// anchors, durable quarantine leaves).
//
// Nothing here throws or uses run-time type information. Every call returns a
// plain result record; what the helper printed is checked against the
// protocol before it is believed, and anything that does not fit is reported
// as a helper error rather than as an answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace anchorfs::client {

// The largest content the helper creates, reads, hashes or deletes by content.
inline constexpr std::uint64_t max_content_size = 67108864; // 64 MiB

// ---------------------------------------------------------------------------
// Argument groups

// The root every command works below: its path and the identity it must
// still have. The device is st_dev as an unsigned 64-bit number.
struct RootAnchor {
    std::string path;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t uid = 0;
};

// A regular file: device, inode, link count, owner uid and the whole mode
// word (file-type bits included, e.g. 0100644).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t link_count = 0;
    std::uint64_t uid = 0;
    std::uint64_t mode = 0;
};

// A regular file described completely: identity, size, modification time in
// nanoseconds since the epoch and the SHA-256 digest of its content as 64
// lowercase hexadecimal characters.
struct FileDescription {
    FileIdentity identity;
    std::uint64_t size = 0;
    std::uint64_t mtime_ns = 0;
    std::string sha256;
};

// What bookmark-parent reports about a directory.
struct Bookmark {
    std::string hex; // lowercase hexadecimal, 2 to 131072 characters
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t uid = 0;
};

// A directory found again by bookmark and by path, and a name in it: the
// argument group of the recover commands. `directory` is the directory's
// path relative to the root, or "." for the root itself.
struct BookmarkedParent {
    std::string bookmark;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t uid = 0;
    std::string directory;
    std::string leaf;
};

// The group for the entry at `relative_path`, whose parent directory was
// bookmarked with bookmark-parent of that same path.
BookmarkedParent bookmarked_parent(const Bookmark& bookmark, std::string_view relative_path);

// ---------------------------------------------------------------------------
// Requests, one per command. Paths are relative to the root. Content is
// borrowed: it must stay alive until the call that runs the request returns.

struct BookmarkParent {
    std::string path; // the entry whose parent directory is bookmarked
};

struct RecoverUnlink {
    BookmarkedParent source;
    BookmarkedParent staging;
    BookmarkedParent quarantine; // leaf: a durable quarantine leaf
    FileDescription file;
};

struct RecoverRename {
    BookmarkedParent source;
    BookmarkedParent destination;
    FileDescription file;
};

struct RecoverSwap {
    BookmarkedParent a;
    BookmarkedParent b;
    FileDescription file1; // what A held before the swap
    FileDescription file2; // what B held before the swap
};

struct RecoverLink {
    BookmarkedParent source;
    BookmarkedParent destination;
    BookmarkedParent staging;
    BookmarkedParent quarantine;
    FileDescription file; // link count as it was before the link
};

struct RenameExcl {
    std::string source;
    std::string destination;
    FileIdentity file;
};

struct LinkExcl {
    std::string source;
    std::string destination;
    std::string staging;
    std::string quarantine; // leaf: a durable quarantine leaf
    FileDescription file;   // link count as it is before the link
};

struct RenameSwap {
    std::string a;
    std::string b;
    FileIdentity file1; // under A before the swap
    FileIdentity file2; // under B before the swap
};

struct UnlinkChecked {
    std::string source;
    std::string staging;
    std::string quarantine; // leaf: a durable quarantine leaf
    FileDescription file;
};

struct QuarantinePrivateTree {
    std::string source;
    std::string destination;
};

struct RemovePrivateTree {
    std::string path;
    std::uint64_t budget = 4096;   // 1 to 4096 entries per run
    std::uint64_t depth_limit = 16; // 0 to 16
};

struct CreatePrivateFileStaged {
    std::string final_path;
    std::string staging_path;
    std::string_view content;
};

struct RemovePrivateStagingFile {
    std::string path;
    std::uint64_t size_bound = max_content_size;
};

struct ReadPrivateFile {
    std::string path;
    std::uint64_t size_bound = max_content_size;
};

struct ReadExternalFile {
    std::string path;
    std::uint64_t size_bound = max_content_size;
    std::uint64_t parent_device = 0; // identity of the directory holding the file
    std::uint64_t parent_inode = 0;
    std::uint64_t parent_uid = 0;
};

// Deletes while the content has `size` bytes and that SHA-256 digest; built
// from a description (such as a private create's Result::created), it takes
// the description's size and digest.
struct RemovePrivateFile {
    std::string path;
    std::uint64_t size = 0;
    std::string sha256;

    RemovePrivateFile() = default;
    RemovePrivateFile(std::string path_, std::uint64_t size_, std::string sha256_);
    RemovePrivateFile(std::string path_, const FileDescription& file);
};

struct EnsureDir {
    std::string path;
};

struct EnsurePrivateDir {
    std::string path;
};

struct CreateFile {
    std::string path;
    std::uint64_t mode = 0644; // permission bits, at most 0777
    std::string_view content;
};

struct CreatePrivateFile {
    std::string path;
    std::string_view content;
};

// ---------------------------------------------------------------------------
// Results

enum class ResultKind {
    success,      // the helper reported success
    failure,      // the helper reported a failure line
    helper_error, // the helper could not be run, or its output broke the protocol
};

// The code of a failure line.
enum class Code {
    invalid_protocol,
    root_identity_changed,
    identity_changed,
    race_rolled_back,
    race_preserved,
    eperm,
    enoent,
    e2big,
    eacces,
    eexist,
    exdev,
    enotdir,
    eisdir,
    einval,
    eloop,
    enotempty,
    filesystem_error,
};

// For a failure after a mutation: whether the mutation was undone.
enum class RaceOutcome {
    none,        // no race code: nothing was mutated, or a plain failure
    rolled_back, // RACE_ROLLED_BACK: the tree is back in its state from before
    preserved,   // RACE_PRESERVED: the new state had to stay in place
};

// Why a helper's answer could not be believed.
enum class HelperError {
    none,
    spawn_failed,         // the helper could not be started (error: posix_spawn's)
    io_failed,            // a pipe, poll, read, write or wait failed (error: its errno)
    killed_by_signal,     // the helper ended by a signal (signal: which)
    unexpected_stderr,    // the helper wrote to standard error
    no_line,              // the helper printed nothing
    malformed_line,       // not one line holding a flat JSON object
    unknown_code,         // a failure line with a code this client does not know
    wrong_shape,          // a well-formed line whose fields do not fit the command
    missing_bytes,        // fewer content bytes than the size line announced
    extra_output,         // output after the line (or after the announced bytes)
    exit_status_mismatch, // the exit status does not belong to the line
    result_not_delivered, // exit status 11: the helper could not write its line (or content) whole; the
                          // command may have taken effect, so check the tree or settle it
    timed_out,            // the run outlived its time limit and was stopped (see Limits); `line` holds
                          // what the helper answered within the grace period, if anything
    cancelled,            // the call's cancel descriptor became ready and the run was stopped likewise
};

// The device, inode, owner uid and whole mode of an ensured directory.
struct DirectoryIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t uid = 0;
    std::uint64_t mode = 0;
};

struct Result {
    ResultKind kind = ResultKind::helper_error;

    // failure: the line's code and errno, and the race outcome it implies.
    // helper_error: `error` is the system error where one caused it, else 0.
    Code code = Code::filesystem_error;
    int error = 0;
    RaceOutcome race = RaceOutcome::none;
    HelperError helper_error = HelperError::none;

    // success payloads: `directory` for ensure-dir and ensure-private-dir,
    // `bookmark` for bookmark-parent, `content` for the two read commands.
    DirectoryIdentity directory;
    Bookmark bookmark;
    std::string content;

    // What the run looked like, for logs: the result line without its line
    // end (as far as there was one), the exit status (-1 when none) and the
    // signal that ended the helper (0 when none).
    std::string line;
    int exit_status = -1;
    int signal = 0;

    // create-file, create-private-file and create-private-file-staged: the
    // new file's description, its identity and mtime from a status taken
    // after the run, its size and SHA-256 from the content sent. Should the
    // name no longer show a regular file of that size by then, the result is
    // a failure with RACE_PRESERVED and errno ESTALE: the file was made and
    // stays, but another process changed the name since.
    FileDescription created;

    // An argument refused by the client before the helper was started, named
    // with the rule it broke ("path: absolute: paths are relative to the
    // root"): the result is then a failure with code einval and error EINVAL,
    // as the helper would have answered, and `line` is empty.
    std::string refusal;

    bool ok() const { return kind == ResultKind::success; }
};

// "ENOENT", "IDENTITY_CHANGED", ...: the code as the failure line spells it.
const char* code_name(Code code);
// "no_line", "wrong_shape", ...
const char* helper_error_name(HelperError error);

// ---------------------------------------------------------------------------
// Running requests

// The helper to run: the path of the anchorfs binary, and the environment to
// give it. The helper reads no environment variable, so the default is empty:
// nothing of the parent's environment (LD_PRELOAD and the like) reaches it.
// `timeout` bounds every run unless a call's Limits say otherwise; unset: no
// time limit.
struct Helper {
    std::string path;
    std::vector<std::string> environment; // "NAME=value" entries
    std::optional<std::chrono::milliseconds> timeout;
};

// How long a stopped run is given, after its input was closed, to end on its
// own before it is killed with SIGKILL.
inline constexpr std::chrono::milliseconds cancel_grace{2000};

// One call's limits. `timeout`, when set, replaces the helper's default for
// this call (a zero duration stops the run at once). `cancel_fd`, when not
// -1, is a descriptor the caller makes readable (or hangs up) to cancel the
// call from another thread; the client only polls it and never reads from it
// or closes it.
//
// A run that is stopped, by its time limit or by cancellation, is stopped
// politely first: its standard input is closed, which is the protocol's way to
// cancel (a create then sees a short input and removes the file it made), its
// output is still read, and only if it has not ended within `cancel_grace` is
// it killed with SIGKILL. The result is then a helper error, `timed_out` or
// `cancelled`, with the line it answered meanwhile, if any; a command that had
// all its input may have taken effect: check the tree or settle it.
struct Limits {
    std::optional<std::chrono::milliseconds> timeout;
    int cancel_fd = -1;
};

// Each call starts the helper once with the request's arguments, feeds the
// request's content (if any) to its standard input, reads its result line
// and, for the read commands, the announced bytes, waits for it, and checks
// everything against the protocol. Safe to call from several threads; the
// calling thread's SIGPIPE is held back while the content is written. `limits`
// bound this call alone (see Limits); arguments the helper would refuse are
// refused before it is started (see Result::refusal).
Result run(const Helper& helper, const RootAnchor& root, const BookmarkParent& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RecoverUnlink& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RecoverRename& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RecoverSwap& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RecoverLink& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RenameExcl& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const LinkExcl& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RenameSwap& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const UnlinkChecked& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const QuarantinePrivateTree& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RemovePrivateTree& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const CreatePrivateFileStaged& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RemovePrivateStagingFile& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const ReadPrivateFile& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const ReadExternalFile& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const RemovePrivateFile& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const EnsureDir& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const EnsurePrivateDir& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const CreateFile& request, const Limits& limits = {});
Result run(const Helper& helper, const RootAnchor& root, const CreatePrivateFile& request, const Limits& limits = {});

// ---------------------------------------------------------------------------
// Filling requests in

struct DescribeFileResult {
    int error = 0; // 0, or why the file could not be described
    FileDescription description;
    bool ok() const { return error == 0; }
};

// The eight description slots of the regular file open at `fd`: its status
// and the SHA-256 digest of its content, read from offset 0 without moving
// the descriptor's offset. Refused: a file that is not regular (EINVAL), one
// larger than 64 MiB (EFBIG), one modified before the epoch (ERANGE), and one
// that changed while it was hashed (ESTALE: its status before and after
// differ, or it did not end at its size). Other errors are those of fstat or
// pread.
DescribeFileResult describe_file(int fd);

// describe_file of the name `path` relative to `dir_fd` (AT_FDCWD for the
// working directory), opened without following a symbolic link in its last
// component and without blocking on a FIFO.
DescribeFileResult describe_file_at(int dir_fd, const std::string& path);

struct IdentityResult {
    int error = 0;
    FileIdentity identity;
    bool ok() const { return error == 0; }
};

// The identity of the regular file at `path` relative to `dir_fd`: device,
// inode, link count, owner uid and the whole mode word, as rename-excl and
// rename-swap take it. A symbolic link in the last component is not followed
// (EINVAL, as for any file that is not regular); other errors are fstatat's.
IdentityResult identity_at(int dir_fd, const std::string& path);

struct AnchorRootResult {
    int error = 0;
    RootAnchor root;
    bool ok() const { return error == 0; }
};

// The anchor of the directory at `path` as it is now: device, inode and owner
// uid. The last component is not followed if it is a symbolic link (ELOOP),
// as the helper will not follow it either.
AnchorRootResult anchor_root(const std::string& path);

struct QuarantineLeafResult {
    int error = 0;
    std::string leaf;
    bool ok() const { return error == 0; }
};

// A fresh durable quarantine leaf: ".vor-native-quarantine-" and 32 lowercase
// hexadecimal digits from the kernel's random source (getrandom).
QuarantineLeafResult new_quarantine_leaf();

} // namespace anchorfs::client
