// Test support: running the built binary with an argument vector, standard
// input and a seam plan, and scratch roots to run it in.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace anchorfs::test {

// Rules for the preloaded seam, separated by ';':
//   pause:FUNC:N         after the N-th call of FUNC returns, stop the run and
//                        call on_pause; the run resumes when on_pause returns
//   fail:FUNC:N:ERR      the N-th call of FUNC fails with ERR (a number or a
//                        symbolic name such as EIO) without being made
//   kill:FUNC:N          after the N-th call of FUNC returns, SIGKILL the run
struct seam_plan {
    std::string rules;
    std::function<void(const std::string& event)> on_pause;
};

struct run_options {
    std::string stdin_data;
    std::optional<std::string> stdin_file; // used instead of stdin_data when set
    seam_plan seam;
    std::optional<uid_t> uid; // run as this user (and gid)
    std::optional<gid_t> gid;
    std::optional<mode_t> umask;
    bool trace = false;      // record every intercepted call
    bool check_fds = false;  // report descriptors still open at exit
    std::optional<std::string> cwd; // working directory of the run (default: the test's)
    // A seam rule whose call never came makes the test fail unless this is set:
    // a race test whose pause never happened proves nothing.
    bool allow_unfired_rules = false;
    // A hostile process environment.
    std::vector<std::pair<int, unsigned long>> limits; // setrlimit(resource, soft and hard) in the run
    std::optional<std::string> stdout_file; // standard output opened from this path (e.g. /dev/full), read back
    bool close_stdout = false;              // the run starts with descriptor 1 closed
    bool slow_stdout = false;  // a non-blocking pipe read 4096 bytes a millisecond
    bool split_stdin = false;  // a non-blocking pipe, the second half of stdin_data written 50 ms late
    int signal_at_pause = 0;   // sent to the run at every seam pause, before on_pause
};

struct run_result {
    std::string out;
    std::string err;
    int exit_code = -1; // -1 when the run was ended by a signal
    int signal = 0;
    std::vector<std::string> trace;     // intercepted calls in order, e.g. "renameat2 0 0"
    std::vector<int> leaked_fds;        // with check_fds: descriptors open at exit (besides 0, 1, 2)
    std::vector<std::string> pauses;    // pause events in order, e.g. "mkdirat 1"
    std::vector<std::string> unfired_rules; // seam rules whose call never came (run exited normally)
};

// args are slots 1 and up; slot 0 is the binary's path. The run gets an empty
// environment, or only the seam's variables when a seam plan, trace or
// check_fds is used. run_anchorfs runs the shipped static program, or its
// dynamically linked twin (the same objects) when the seam must be preloaded. Throws when the binary cannot be started or the seam
// plan is malformed.
run_result run_anchorfs(const std::vector<std::string>& args, const run_options& options = {});
// The same for another program (the seam's own tests run helpers with it).
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options = {});

// A fresh scratch directory below /tmp, removed with everything below it on
// destruction (modes are opened up first so that removal always succeeds,
// mounts below it are detached, symbolic links are never followed).
// The root is `container`/root with mode 0755, owned by `owner` and its group
// when given; the container has room beside the root, so a test can move the
// root away and put another directory in its place.
struct temp_root {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t uid = 0;
    std::string container;

    explicit temp_root(std::optional<uid_t> owner = std::nullopt);
    ~temp_root();
    temp_root(const temp_root&) = delete;
    temp_root& operator=(const temp_root&) = delete;

    std::string at(std::string_view relative) const; // path + "/" + relative
    std::string beside(std::string_view name) const; // container + "/" + name, outside the root
    // Slots 2 to 5: path, device, inode, uid.
    std::vector<std::string> anchor() const;
    // {name, path, device, inode, uid, rest...}
    std::vector<std::string> command(std::string_view name, std::vector<std::string> rest = {}) const;
};

// File and tree helpers (all abort the test with a gtest failure on error).
void write_file(const std::string& path, std::string_view content, mode_t mode = 0644);
std::string read_file(const std::string& path);
void make_dir(const std::string& path, mode_t mode = 0755);
struct stat lstat_of(const std::string& path);
bool exists(const std::string& path); // lstat succeeds
void make_socket(const std::string& path); // a bound Unix socket at path (the socket itself is closed)

// A hold on a file like another process's, seen by a run of the binary: a
// descriptor open for writing, or a shared mapping of the whole file (writable
// or read-only) whose descriptor is already closed. Released on destruction.
enum class hold_kind { write_descriptor, writable_mapping, read_only_mapping };
struct file_hold {
    int fd = -1;
    void* mapping = nullptr;
    std::size_t length = 0;

    file_hold(const std::string& path, hold_kind kind);
    ~file_hold();
    file_hold(const file_hold&) = delete;
    file_hold& operator=(const file_hold&) = delete;
};
// Another process's writer that leaves no trace but the change time: opens the
// file, overwrites its first bytes in place, puts the access and modification
// times back (futimens, as `touch -d`, `cp -p` and `rsync -t` do) and closes.
// It first waits until the clock the file system stamps with has passed the
// file's change time, so the change shows however coarse that clock is.
void rewrite_keeping_times(const std::string& path, std::string_view bytes);
std::string sha256_hex(std::string_view content);
// The five file_identity slots of the object at path: device, inode, links, uid, mode.
std::vector<std::string> identity_args(const std::string& path);
// The eight description slots: identity, size, modification ns, sha256 of content.
std::vector<std::string> description_args(const std::string& path);
// Concatenation helper for building argument vectors.
std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts);

// Expected result lines.
std::string failure_line(std::string_view code, int error);
inline const std::string plain_line = "{\"ok\":true}\n";

// A tmpfs mounted at a fresh directory; mounted() is false where mounting is refused.
struct tmpfs_mount {
    std::string path;
    explicit tmpfs_mount(const std::string& at);
    ~tmpfs_mount();
    bool mounted() const { return ok; }
    bool ok = false;
};

// True in the sanitizer build, whose runtime runs inside the program: it reads
// /proc and opens descriptors of its own before main, so runs without a
// trustworthy /proc or under a small descriptor limit test the runtime there,
// not the program.
bool sanitized_build();

// The uid and gid of an unprivileged account (nobody), for permission tests.
uid_t unprivileged_uid();
gid_t unprivileged_gid();

} // namespace anchorfs::test
