// Test support: running the binary under the seam, scratch roots and file helpers.

#include "support/harness.hpp"

#include <gtest/gtest.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <map>
#include <fstream>
#include <grp.h>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace anchorfs::test {

namespace {

[[noreturn]] void throw_errno(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    explicit owned_fd(int f) : fd(f) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd() { reset(); }
    void reset(int next = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = next;
    }
    bool open() const { return fd >= 0; }
};

struct pipe_pair {
    owned_fd read;
    owned_fd write;
};

void make_pipe(pipe_pair& pair)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw_errno("pipe2");
    pair.read.reset(fds[0]);
    pair.write.reset(fds[1]);
}

// Once per test process: descriptors 0 to 2 open (so pipes never land there),
// room for the seam's descriptor numbers, and SIGPIPE ignored (a run that
// stops reading its input must not kill the test).
void prepare_test_process()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int fd = 0; fd <= 2; ++fd) {
            if (::fcntl(fd, F_GETFD) < 0) {
                int null_fd = ::open("/dev/null", O_RDWR);
                if (null_fd >= 0 && null_fd != fd) {
                    ::dup2(null_fd, fd);
                    ::close(null_fd);
                }
            }
        }
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 1024 && limit.rlim_max >= 1024) {
            limit.rlim_cur = 1024;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        std::signal(SIGPIPE, SIG_IGN);
    });
}

// Where the seam's pipes sit in the run: far above the run's own descriptors,
// so the binary numbers its descriptors from 3 as it would without the seam.
constexpr int notify_target = 900;
constexpr int resume_target = 901;
constexpr int report_target = 902;

enum child_step : int { step_dup = 1, step_cloexec, step_chdir, step_groups, step_gid, step_uid, step_limit, step_exec };

const char* child_step_name(int step)
{
    switch (step) {
    case step_dup: return "dup2";
    case step_cloexec: return "close_range";
    case step_chdir: return "chdir";
    case step_groups: return "setgroups";
    case step_gid: return "setgid";
    case step_uid: return "setuid";
    case step_limit: return "setrlimit";
    case step_exec: return "execve";
    default: return "setup";
    }
}

struct child_plan {
    std::vector<std::pair<int, int>> moves; // source descriptor -> number in the run
    bool seam_fds = false;
    const char* cwd = nullptr;
    std::optional<mode_t> umask;
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    const std::vector<std::pair<int, unsigned long>>* limits = nullptr;
    bool close_stdout = false;
    const char* program = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int error_fd = -1;
};

// Between fork and exec: system calls only.
[[noreturn]] void run_child(const child_plan& plan)
{
    auto fail = [&](int step) {
        int report[2] = {step, errno};
        [[maybe_unused]] ssize_t ignored = ::write(plan.error_fd, report, sizeof report);
        ::_exit(127);
    };
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    for (const auto& [source, target] : plan.moves)
        if (::dup2(source, target) < 0)
            fail(step_dup);
    // Nothing of the test process reaches the run but what it was given.
    if (plan.seam_fds) {
        if (::close_range(3, notify_target - 1, CLOSE_RANGE_CLOEXEC) != 0
            || ::close_range(report_target + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
            fail(step_cloexec);
    } else if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        fail(step_cloexec);
    }
    if (plan.cwd != nullptr && ::chdir(plan.cwd) != 0)
        fail(step_chdir);
    if (plan.umask)
        ::umask(*plan.umask);
    if ((plan.uid || plan.gid) && ::setgroups(0, nullptr) != 0)
        fail(step_groups);
    if (plan.gid && ::setgid(*plan.gid) != 0)
        fail(step_gid);
    if (plan.uid && ::setuid(*plan.uid) != 0)
        fail(step_uid);
    for (const auto& [resource, value] : *plan.limits) {
        const struct rlimit limit = {value, value};
        if (::setrlimit(resource, &limit) != 0)
            fail(step_limit);
    }
    if (plan.close_stdout)
        ::close(1);
    ::execve(plan.program, plan.argv, plan.envp);
    fail(step_exec);
    ::_exit(127);
}

// Kills and reaps the run unless it was reaped normally (a test that throws
// from on_pause must not leave a paused process behind).
struct child_guard {
    pid_t pid = -1;
    ~child_guard()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
};

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Splits complete lines off `pending`, handing each to `handle`; at end of
// input a last unterminated line is handed over too.
template <typename Handler>
void take_lines(std::string& pending, bool at_end, Handler&& handle)
{
    std::size_t start = 0;
    for (;;) {
        std::size_t newline = pending.find('\n', start);
        if (newline == std::string::npos)
            break;
        handle(pending.substr(start, newline - start));
        start = newline + 1;
    }
    pending.erase(0, start);
    if (at_end && !pending.empty()) {
        handle(pending);
        pending.clear();
    }
}

// In a sanitizer build the runtime has to come first in the run's library list,
// ahead of the seam; the test program has the same runtime loaded.
std::string sanitizer_runtime()
{
    static const std::string found = [] {
        std::string path;
        ::dl_iterate_phdr(
            [](struct dl_phdr_info* info, std::size_t, void* data) {
                const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
                if (std::strstr(name, "/libasan.so") != nullptr) {
                    *static_cast<std::string*>(data) = name;
                    return 1;
                }
                return 0;
            },
            &path);
        return path;
    }();
    return found;
}

#ifdef ANCHORFS_PROFILE_ERRORS
// In a coverage build the profile runtime reports on standard error when it
// cannot write its counts at exit (no descriptor left under a descriptor
// limit, a file-size limit): lost counts, not a fault of the run. Its lines
// are moved to a log that scripts/coverage.sh reports.
void set_aside_profile_errors(std::string& err)
{
    std::string kept;
    std::ofstream log;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string_view line(err.data() + start, end - start);
        if (line.starts_with("libgcov profiling error:") || line.starts_with("profiling:")) {
            if (!log.is_open())
                log.open(ANCHORFS_PROFILE_ERRORS, std::ios::app);
            log << line;
        } else {
            kept += line;
        }
        start = end;
    }
    err = kept;
}
#endif

bool sanitizer_report(const std::string& err)
{
    return err.find("ERROR: AddressSanitizer") != std::string::npos
           || err.find("ERROR: LeakSanitizer") != std::string::npos
           || err.find(": runtime error: ") != std::string::npos;
}

gid_t primary_group_of(uid_t uid, gid_t fallback)
{
    struct passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_gid : fallback;
}

// Whether any user can reach `path` and read and execute it: every directory
// on the way searchable by others, the file readable and executable by them.
bool reachable_by_others(const std::string& path)
{
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || (status.st_mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH))
        return false;
    for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
        if (::stat(path.substr(0, slash).c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0)
            return false;
    }
    return true;
}

// Copies of build-tree files that a run as another user could not reach (a
// build tree below a private directory, such as a clone in a 0700 directory
// from mktemp -d). They sit in one directory that everyone may search and go
// when the test process ends; children forked by a test never remove them.
class staged_copies {
public:
    ~staged_copies()
    {
        if (directory_.empty() || ::getpid() != owner_)
            return;
        for (const auto& [original, copy] : copies_)
            ::unlink(copy.c_str());
        ::rmdir(directory_.c_str());
    }

    std::string copy_of(const std::string& original)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto found = copies_.find(original);
        if (found != copies_.end())
            return found->second;
        if (directory_.empty()) {
            char name[] = "/tmp/anchorfs-exec.XXXXXX";
            if (::mkdtemp(name) == nullptr)
                throw_errno("mkdtemp for staged programs");
            directory_ = name;
            owner_ = ::getpid();
            if (::chmod(name, 0755) != 0)
                throw_errno("chmod " + directory_);
        }
        std::string copy = directory_ + "/" + std::to_string(copies_.size()) + "-"
                           + original.substr(original.rfind('/') + 1);
        std::ifstream in(original, std::ios::binary);
        std::ofstream out(copy, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        out.close();
        if (!in || !out || ::chmod(copy.c_str(), 0755) != 0)
            throw std::runtime_error("cannot stage a copy of " + original + " in " + directory_);
        copies_.emplace(original, copy);
        return copy;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::string> copies_;
    std::string directory_;
    pid_t owner_ = 0;
};

// The path under which a run as another user can load `path`.
std::string reachable_path(const std::string& path)
{
    if (reachable_by_others(path))
        return path;
    static staged_copies copies;
    return copies.copy_of(path);
}

} // namespace

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options)
{
    prepare_test_process();
    run_result result;

    const bool seam = !options.seam.rules.empty();
    const bool report = options.trace || options.check_fds;

    // A run as another user loads the program and the seam from where that
    // user can reach them.
    const bool other_user = options.uid.has_value() && *options.uid != ::geteuid();
    const std::string& chosen = program == ANCHORFS_BINARY && (seam || report) ? ANCHORFS_TWIN : program;
    const std::string executable = other_user ? reachable_path(chosen) : chosen;
    const std::string seam_library = other_user ? reachable_path(ANCHORFS_SEAM_LIBRARY) : ANCHORFS_SEAM_LIBRARY;

    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings;
    if (seam || report) {
        const std::string runtime = sanitizer_runtime();
        env_strings.push_back("LD_PRELOAD=" + (runtime.empty() ? "" : runtime + ":") + seam_library);
        if (seam) {
            env_strings.push_back("ANCHORFS_SEAM=" + options.seam.rules);
            env_strings.push_back("ANCHORFS_SEAM_NOTIFY_FD=" + std::to_string(notify_target));
            env_strings.push_back("ANCHORFS_SEAM_RESUME_FD=" + std::to_string(resume_target));
        }
        if (options.trace)
            env_strings.push_back("ANCHORFS_SEAM_TRACE_FD=" + std::to_string(report_target));
        if (options.check_fds)
            env_strings.push_back("ANCHORFS_SEAM_FDCHECK_FD=" + std::to_string(report_target));
    }
    std::vector<char*> argv = c_strings(argv_strings);
    std::vector<char*> envp = c_strings(env_strings);

    pipe_pair in, out, err, notify, resume, reported, errors;
    owned_fd stdin_source, stdout_target;
    make_pipe(out);
    if (options.stdout_file) {
        stdout_target.reset(::open(options.stdout_file->c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!stdout_target.open())
            throw_errno("open " + *options.stdout_file);
    }
    // A non-blocking stream is shared with the run through its file status flags.
    if (options.slow_stdout && ::fcntl(out.write.fd, F_SETFL, O_NONBLOCK) != 0)
        throw_errno("fcntl O_NONBLOCK");
    make_pipe(err);
    make_pipe(errors);
    if (options.stdin_file) {
        stdin_source.reset(::open(options.stdin_file->c_str(), O_RDONLY | O_CLOEXEC));
        if (!stdin_source.open())
            throw_errno("open " + *options.stdin_file);
    } else {
        make_pipe(in);
        if (options.split_stdin && ::fcntl(in.read.fd, F_SETFL, O_NONBLOCK) != 0)
            throw_errno("fcntl O_NONBLOCK");
    }
    if (seam) {
        make_pipe(notify);
        make_pipe(resume);
    }
    if (report)
        make_pipe(reported);

    child_plan plan;
    plan.moves.emplace_back(options.stdin_file ? stdin_source.fd : in.read.fd, 0);
    plan.moves.emplace_back(options.stdout_file ? stdout_target.fd : out.write.fd, 1);
    plan.moves.emplace_back(err.write.fd, 2);
    if (seam) {
        plan.moves.emplace_back(notify.write.fd, notify_target);
        plan.moves.emplace_back(resume.read.fd, resume_target);
    }
    if (report)
        plan.moves.emplace_back(reported.write.fd, report_target);
    for (const auto& move : plan.moves)
        if (move.first <= 2 || move.first >= notify_target)
            throw std::runtime_error("run_program: descriptor " + std::to_string(move.first)
                                     + " cannot be moved into the run");
    plan.seam_fds = seam || report;
    plan.cwd = options.cwd ? options.cwd->c_str() : nullptr;
    plan.umask = options.umask;
    plan.uid = options.uid;
    plan.gid = options.gid;
    if (options.uid && !options.gid)
        plan.gid = primary_group_of(*options.uid, static_cast<gid_t>(*options.uid));
    plan.limits = &options.limits;
    plan.close_stdout = options.close_stdout;
    plan.program = executable.c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.error_fd = errors.write.fd;

    child_guard child;
    child.pid = ::fork();
    if (child.pid < 0)
        throw_errno("fork");
    if (child.pid == 0)
        run_child(plan);

    // The parent keeps only its own ends.
    in.read.reset();
    out.write.reset();
    err.write.reset();
    notify.write.reset();
    resume.read.reset();
    reported.write.reset();
    errors.write.reset();
    stdin_source.reset();
    stdout_target.reset();

    int start_error[2];
    std::size_t got = 0;
    while (got < sizeof start_error) {
        ssize_t n = ::read(errors.read.fd, reinterpret_cast<char*>(start_error) + got, sizeof start_error - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got != 0) {
        std::string message = std::string("starting ") + program + " failed at "
                              + child_step_name(start_error[0]) + ": " + std::strerror(start_error[1]);
        throw std::runtime_error(message);
    }

    std::size_t written = 0;
    const std::string& input = options.stdin_data;
    if (in.write.open()) {
        if (::fcntl(in.write.fd, F_SETFL, O_NONBLOCK) != 0)
            throw_errno("fcntl O_NONBLOCK");
        if (input.empty())
            in.write.reset();
    }

    std::string notify_pending, report_pending;
    auto handle_report = [&](const std::string& line) {
        if (line.rfind("leak ", 0) == 0)
            result.leaked_fds.push_back(std::stoi(line.substr(5)));
        else
            result.trace.push_back(line);
    };
    auto handle_notify = [&](const std::string& line) {
        if (line.rfind("unfired ", 0) == 0) {
            result.unfired_rules.push_back(line.substr(8));
            return;
        }
        result.pauses.push_back(line);
        if (options.signal_at_pause != 0)
            ::kill(child.pid, options.signal_at_pause);
        if (options.seam.on_pause)
            options.seam.on_pause(line);
        char byte = 'r';
        while (::write(resume.write.fd, &byte, 1) < 0 && errno == EINTR) {
        }
    };

    constexpr int idle_limit_ms = 120000;
    char buffer[65536];
    for (;;) {
        struct slot {
            owned_fd* fd;
            std::string* sink;
        };
        slot readers[] = {{&out.read, &result.out},
                          {&err.read, &result.err},
                          {&notify.read, &notify_pending},
                          {&reported.read, &report_pending}};
        std::vector<pollfd> polled;
        std::vector<slot*> polled_slots;
        for (auto& r : readers) {
            if (r.fd->open()) {
                polled.push_back({r.fd->fd, POLLIN, 0});
                polled_slots.push_back(&r);
            }
        }
        if (polled.empty())
            break;
        const bool writing = in.write.open();
        if (writing)
            polled.push_back({in.write.fd, POLLOUT, 0});

        int ready = ::poll(polled.data(), polled.size(), idle_limit_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("poll");
        }
        if (ready == 0)
            throw std::runtime_error(program + " made no progress for 120 s; killed");

        if (writing && polled.back().revents != 0) {
            if (polled.back().revents & (POLLERR | POLLHUP)) {
                in.write.reset(); // the run stopped reading its input
            } else {
                std::size_t chunk = std::min<std::size_t>(input.size() - written, 65536);
                if (options.split_stdin) {
                    if (written == input.size() / 2 && written != 0)
                        ::usleep(50000);
                    chunk = std::min(chunk, written < input.size() / 2 ? input.size() / 2 - written : chunk);
                }
                ssize_t n = ::write(in.write.fd, input.data() + written, chunk);
                if (n > 0)
                    written += static_cast<std::size_t>(n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    in.write.reset();
                if (written == input.size())
                    in.write.reset();
            }
        }
        for (std::size_t i = 0; i < polled_slots.size(); ++i) {
            if (polled[i].revents == 0)
                continue;
            slot& s = *polled_slots[i];
            const bool slow = options.slow_stdout && s.sink == &result.out;
            if (slow)
                ::usleep(1000);
            ssize_t n = ::read(s.fd->fd, buffer, slow ? 4096 : sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            const bool at_end = n <= 0;
            if (n > 0)
                s.sink->append(buffer, static_cast<std::size_t>(n));
            else
                s.fd->reset();
            if (s.sink == &notify_pending)
                take_lines(notify_pending, at_end, handle_notify);
            else if (s.sink == &report_pending)
                take_lines(report_pending, at_end, handle_report);
        }
    }
    in.write.reset();
    resume.write.reset();

    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw_errno("waitpid");
    }
    child.pid = -1;
    struct stat target;
    if (options.stdout_file && ::stat(options.stdout_file->c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
        std::ifstream written_out(*options.stdout_file, std::ios::binary);
        result.out.assign(std::istreambuf_iterator<char>(written_out), std::istreambuf_iterator<char>());
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exit_code = -1;
        result.signal = WTERMSIG(status);
    }

#ifdef ANCHORFS_PROFILE_ERRORS
    set_aside_profile_errors(result.err);
#endif
    if (result.exit_code == 125 && result.err.rfind("anchorfs_seam:", 0) == 0)
        throw std::runtime_error("seam plan rejected: " + result.err);
    if (!options.allow_unfired_rules) {
        for (const auto& rule : result.unfired_rules)
            ADD_FAILURE() << "seam rule \"" << rule << "\" never reached its call";
    }
    // In a sanitizer build a run reports memory errors, leaks and undefined
    // behaviour on its standard error, which the run itself never writes to;
    // such a report fails the test whatever the test goes on to check.
    if (sanitizer_report(result.err))
        ADD_FAILURE() << program << " reported a sanitizer finding:\n" << result.err;
    return result;
}

run_result run_anchorfs(const std::vector<std::string>& args, const run_options& options)
{
    return run_program(ANCHORFS_BINARY, args, options);
}

// ---- scratch roots ----

namespace {

std::string decode_mount_path(const std::string& field)
{
    std::string decoded;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char* digits = field.c_str() + i + 1;
            if (digits[0] >= '0' && digits[0] <= '7' && digits[1] >= '0' && digits[1] <= '7' && digits[2] >= '0'
                && digits[2] <= '7') {
                decoded.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        decoded.push_back(field[i]);
    }
    return decoded;
}

std::vector<std::string> mounts_below(const std::string& top)
{
    std::vector<std::string> found;
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        // id parent major:minor root mount-point ...
        std::size_t position = 0;
        for (int field = 0; field < 4 && position != std::string::npos; ++field) {
            position = line.find(' ', position);
            if (position != std::string::npos)
                ++position;
        }
        if (position == std::string::npos)
            continue;
        std::size_t end = line.find(' ', position);
        std::string mount_point = decode_mount_path(line.substr(position, end - position));
        if (mount_point == top || mount_point.rfind(top + "/", 0) == 0)
            found.push_back(mount_point);
    }
    return found;
}

void unmount_below(const std::string& top)
{
    // Stacked mounts show up once each; a few passes take them all.
    for (int pass = 0; pass < 8; ++pass) {
        std::vector<std::string> mounts = mounts_below(top);
        if (mounts.empty())
            return;
        std::sort(mounts.begin(), mounts.end(),
                  [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        for (const auto& mount_point : mounts)
            ::umount2(mount_point.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
    }
}

// Opens the directory `name` in `dir` for removal, never through a symbolic
// link: -2 when the entry is not a directory, -1 on error. The directory's
// mode is opened up first (tests leave directories at 0 or 0700 for others).
int open_for_removal(int dir, const char* name, const std::string& full_path, dev_t device, struct stat& status)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        owned_fd handle(::openat(dir, name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        if (!handle.open())
            return errno == ENOTDIR || errno == ELOOP ? -2 : -1;
        if (::fstat(handle.fd, &status) != 0)
            return -1;
        if (status.st_dev != device) {
            // Still a mount point: detach it and look again at what is beneath.
            if (attempt == 0 && ::umount2(full_path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0)
                continue;
            errno = EXDEV;
            return -1;
        }
        std::string magic = "/proc/self/fd/" + std::to_string(handle.fd);
        ::chmod(magic.c_str(), 0700);
        return ::open(magic.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    errno = EXDEV;
    return -1;
}

// Removes `top` and everything below it. Keeps only two descriptors open at a
// time, so trees deeper than the descriptor limit go as well.
bool remove_tree(const std::string& top, std::string& problem)
{
    std::size_t slash = top.rfind('/');
    std::string above = slash == 0 ? "/" : top.substr(0, slash);
    std::string top_name = top.substr(slash + 1);
    owned_fd above_fd(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!above_fd.open()) {
        problem = "open " + above + ": " + std::strerror(errno);
        return false;
    }
    struct stat above_status;
    if (::fstat(above_fd.fd, &above_status) != 0) {
        problem = "fstat " + above + ": " + std::strerror(errno);
        return false;
    }

    struct level {
        std::string name;
        dev_t device;
        ino_t inode;
    };
    std::vector<level> levels;
    struct stat status;
    owned_fd current(open_for_removal(above_fd.fd, top_name.c_str(), top, above_status.st_dev, status));
    if (!current.open()) {
        if (current.fd == -2 || errno == ENOENT)
            return true;
        problem = "open " + top + ": " + std::strerror(errno);
        return false;
    }
    const dev_t device = status.st_dev;
    levels.push_back({top_name, status.st_dev, status.st_ino});
    std::string current_path = top;

    for (;;) {
        owned_fd listing_fd(::openat(current.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        DIR* listing = listing_fd.open() ? ::fdopendir(listing_fd.fd) : nullptr;
        if (listing == nullptr) {
            problem = "list " + current_path + ": " + std::strerror(errno);
            return false;
        }
        listing_fd.fd = -1; // the stream owns it now
        bool descended = false;
        std::string failure;
        while (struct dirent* entry = ::readdir(listing)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            std::string child_path = current_path + "/" + name;
            struct stat child_status;
            int child = open_for_removal(current.fd, name, child_path, device, child_status);
            if (child >= 0) {
                levels.push_back({name, child_status.st_dev, child_status.st_ino});
                current.reset(child);
                current_path = child_path;
                descended = true;
                break;
            }
            if (child == -2 || errno == ENOENT) {
                if (::unlinkat(current.fd, name, 0) != 0 && errno != ENOENT) {
                    failure = "unlink " + child_path + ": " + std::strerror(errno);
                    break;
                }
                continue;
            }
            failure = "open " + child_path + ": " + std::strerror(errno);
            break;
        }
        ::closedir(listing);
        if (!failure.empty()) {
            problem = failure;
            return false;
        }
        if (descended)
            continue;

        // `current` is empty now.
        if (levels.size() == 1)
            break;
        owned_fd parent(::openat(current.fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat parent_status;
        const level& expected = levels[levels.size() - 2];
        if (!parent.open() || ::fstat(parent.fd, &parent_status) != 0 || parent_status.st_dev != expected.device
            || parent_status.st_ino != expected.inode) {
            problem = "climb out of " + current_path + ": the parent is not the directory walked through";
            return false;
        }
        if (::unlinkat(parent.fd, levels.back().name.c_str(), AT_REMOVEDIR) != 0) {
            problem = "rmdir " + current_path + ": " + std::strerror(errno);
            return false;
        }
        levels.pop_back();
        current.reset(parent.fd);
        parent.fd = -1;
        current_path.erase(current_path.rfind('/'));
    }
    current.reset();
    if (::unlinkat(above_fd.fd, top_name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        problem = "rmdir " + top + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

temp_root::temp_root(std::optional<uid_t> owner)
{
    char name[] = "/tmp/anchorfs-test-XXXXXX";
    if (::mkdtemp(name) == nullptr)
        throw_errno("mkdtemp");
    container = name;
    // Reachable by an unprivileged run; what is below decides the rest.
    if (::chmod(container.c_str(), 0755) != 0)
        throw_errno("chmod " + container);
    path = container + "/root";
    if (::mkdir(path.c_str(), 0755) != 0 || ::chmod(path.c_str(), 0755) != 0)
        throw_errno("mkdir " + path);
    if (owner && ::chown(path.c_str(), *owner, primary_group_of(*owner, static_cast<gid_t>(*owner))) != 0)
        throw_errno("chown " + path);
    struct stat status = lstat_of(path);
    device = status.st_dev;
    inode = status.st_ino;
    uid = status.st_uid;
}

temp_root::~temp_root()
{
    if (container.empty())
        return;
    unmount_below(container);
    std::string problem;
    if (!remove_tree(container, problem))
        ADD_FAILURE() << "scratch directory " << container << " not removed: " << problem;
}

std::string temp_root::at(std::string_view relative) const
{
    return path + "/" + std::string(relative);
}

std::string temp_root::beside(std::string_view name) const
{
    return container + "/" + std::string(name);
}

std::vector<std::string> temp_root::anchor() const
{
    return {path, std::to_string(static_cast<unsigned long long>(device)),
            std::to_string(static_cast<unsigned long long>(inode)), std::to_string(static_cast<unsigned long long>(uid))};
}

std::vector<std::string> temp_root::command(std::string_view name, std::vector<std::string> rest) const
{
    std::vector<std::string> args{std::string(name)};
    for (auto& slot : anchor())
        args.push_back(std::move(slot));
    for (auto& slot : rest)
        args.push_back(std::move(slot));
    return args;
}

// ---- file and tree helpers ----

void write_file(const std::string& path, std::string_view content, mode_t mode)
{
    owned_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.open())
        throw_errno("open " + path);
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd.fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd.fd, mode) != 0)
        throw_errno("fchmod " + path);
}

namespace {
std::string read_all(int fd, const std::string& path)
{
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("read " + path);
        }
        if (n == 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}
} // namespace

std::string read_file(const std::string& path)
{
    owned_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.open())
        throw_errno("open " + path);
    return read_all(fd.fd, path);
}

void make_dir(const std::string& path, mode_t mode)
{
    if (::mkdir(path.c_str(), mode) != 0)
        throw_errno("mkdir " + path);
    if (::chmod(path.c_str(), mode) != 0)
        throw_errno("chmod " + path);
}

struct stat lstat_of(const std::string& path)
{
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0)
        throw_errno("lstat " + path);
    return status;
}

bool exists(const std::string& path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

void make_socket(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw_errno("socket");
    int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    ::close(fd);
    if (bound != 0) {
        errno = error;
        throw_errno("bind " + path);
    }
}

file_hold::file_hold(const std::string& path, hold_kind kind)
{
    const bool writes = kind != hold_kind::read_only_mapping;
    fd = ::open(path.c_str(), (writes ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw_errno("open " + path);
    if (kind == hold_kind::write_descriptor)
        return;
    length = static_cast<std::size_t>(lstat_of(path).st_size);
    mapping = ::mmap(nullptr, length, writes ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        mapping = nullptr;
        int error = errno;
        ::close(fd);
        errno = error;
        throw_errno("mmap " + path);
    }
    ::close(fd); // the mapping alone keeps the file open
    fd = -1;
}

file_hold::~file_hold()
{
    if (mapping != nullptr)
        ::munmap(mapping, length);
    if (fd >= 0)
        ::close(fd);
}

namespace {

bool later(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

} // namespace

void rewrite_keeping_times(const std::string& path, std::string_view bytes)
{
    const struct stat before = lstat_of(path);
    // A scratch file beside it is stamped until its change time is later.
    const std::string tick = path + ".clock-tick";
    write_file(tick, "");
    for (;;) {
        if (::utimensat(AT_FDCWD, tick.c_str(), nullptr, 0) != 0)
            throw_errno("utimensat " + tick);
        if (later(lstat_of(tick).st_ctim, before.st_ctim))
            break;
        ::usleep(1000);
    }
    if (::unlink(tick.c_str()) != 0)
        throw_errno("unlink " + tick);
    int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw_errno("open " + path);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    bool written = ::pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())
                   && ::futimens(fd, times) == 0;
    int error = errno;
    ::close(fd);
    errno = error;
    if (!written)
        throw_errno("rewrite " + path);
}

std::string sha256_hex(std::string_view content)
{
    struct sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, content.size(), reinterpret_cast<const std::uint8_t*>(content.data()));
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 0xf]);
    }
    return text;
}

namespace {
std::vector<std::string> identity_of(const struct stat& status)
{
    return {std::to_string(static_cast<unsigned long long>(status.st_dev)),
            std::to_string(static_cast<unsigned long long>(status.st_ino)),
            std::to_string(static_cast<unsigned long long>(status.st_nlink)),
            std::to_string(static_cast<unsigned long long>(status.st_uid)),
            std::to_string(static_cast<unsigned long long>(status.st_mode))};
}
} // namespace

std::vector<std::string> identity_args(const std::string& path)
{
    return identity_of(lstat_of(path));
}

std::vector<std::string> description_args(const std::string& path)
{
    owned_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.open())
        throw_errno("open " + path);
    struct stat status;
    if (::fstat(fd.fd, &status) != 0)
        throw_errno("fstat " + path);
    std::string content = read_all(fd.fd, path);
    std::vector<std::string> slots = identity_of(status);
    const unsigned long long mtime_ns = static_cast<unsigned long long>(status.st_mtim.tv_sec) * 1000000000ULL
                                        + static_cast<unsigned long long>(status.st_mtim.tv_nsec);
    slots.push_back(std::to_string(static_cast<unsigned long long>(status.st_size)));
    slots.push_back(std::to_string(mtime_ns));
    slots.push_back(sha256_hex(content));
    return slots;
}

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> joined;
    for (const auto& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

std::string failure_line(std::string_view code, int error)
{
    return "{\"ok\":false,\"code\":\"" + std::string(code) + "\",\"errno\":" + std::to_string(error) + "}\n";
}

tmpfs_mount::tmpfs_mount(const std::string& at) : path(at)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw_errno("mkdir " + path);
    ok = ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0;
}

tmpfs_mount::~tmpfs_mount()
{
    if (ok)
        ::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
}

uid_t unprivileged_uid()
{
    struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

gid_t unprivileged_gid()
{
    struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_gid : 65534;
}

bool sanitized_build()
{
    return !sanitizer_runtime().empty();
}

} // namespace anchorfs::test
