// Starting the helper and talking to it: content in, line and bytes out, all
// through one poll loop so that neither side can block the other whatever
// the sizes (64 MiB in while nothing comes out, or 64 MiB out after a line).

#include "invocation.hpp"
#include "platform/owners.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace anchorfs::client::detail {

namespace {

constexpr std::size_t chunk_size = 65536;

struct file_actions {
    posix_spawn_file_actions_t actions;
    bool ready = false;
    ~file_actions()
    {
        if (ready)
            posix_spawn_file_actions_destroy(&actions);
    }
};

struct spawn_attributes {
    posix_spawnattr_t attributes;
    bool ready = false;
    ~spawn_attributes()
    {
        if (ready)
            posix_spawnattr_destroy(&attributes);
    }
};

// A pipe whose ends are both above the standard descriptors, so that placing
// them at 0, 1 and 2 in the child can never overwrite another of them.
int make_pipe(unique_fd& read_end, unique_fd& write_end)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    for (unique_fd* end : {&read_end, &write_end}) {
        if (end->get() > 2)
            continue;
        int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0)
            return -1;
        end->reset(moved);
    }
    return 0;
}

// Holds SIGPIPE back on this thread while the helper's input is written: a
// helper that fails before it reads its input closes the pipe, and the write
// must then fail with EPIPE instead of ending the parent application. A
// SIGPIPE raised meanwhile is taken away again unless one was pending before.
struct sigpipe_guard {
    sigset_t previous;
    bool was_pending = false;
    bool active = false;

    sigpipe_guard()
    {
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        was_pending = sigismember(&pending, SIGPIPE) == 1;
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        active = ::pthread_sigmask(SIG_BLOCK, &block, &previous) == 0;
    }
    ~sigpipe_guard()
    {
        if (!active)
            return;
        int saved = errno;
        if (!was_pending) {
            sigset_t pending;
            sigemptyset(&pending);
            if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
                sigset_t only;
                sigemptyset(&only);
                sigaddset(&only, SIGPIPE);
                const struct timespec no_wait = {0, 0};
                while (::sigtimedwait(&only, nullptr, &no_wait) < 0 && errno == EINTR) {
                }
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        errno = saved;
    }
};

HelperOutput system_failure(HelperError error)
{
    HelperOutput output;
    output.error = error;
    output.system_error = errno;
    return output;
}

int wait_for(pid_t pid, int& status)
{
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

using steady = std::chrono::steady_clock;

// Milliseconds until `when`, rounded up so that a poll never wakes early; 0
// once it has passed.
int milliseconds_until(steady::time_point when)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - steady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// The run's stop schedule: the time limit, then the grace period after the
// helper's input was closed, then SIGKILL.
struct stop_clock {
    std::optional<steady::time_point> deadline; // the time limit; unset: none
    std::optional<steady::time_point> grace_end; // set once the run is being stopped

    int poll_timeout() const
    {
        if (grace_end)
            return milliseconds_until(*grace_end);
        return deadline ? milliseconds_until(*deadline) : -1;
    }
};

// Waits for the helper to end while it still has time; once the grace
// period is over it is killed. A helper that closed its output but does not
// end is the case this covers.
int wait_within(pid_t pid, stop_clock& clock, HelperOutput& output, int& status)
{
    // A helper that closed its output is usually ending: look again soon,
    // then less often.
    long step_ns = 50 * 1000;
    while (clock.deadline || clock.grace_end) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return 0;
        if (ended < 0 && errno != EINTR)
            return -1;
        if (clock.poll_timeout() == 0) {
            if (!clock.grace_end) {
                output.stopped = HelperError::timed_out; // its input is closed already
                clock.grace_end = steady::now() + cancel_grace;
            } else {
                ::kill(pid, SIGKILL);
                break;
            }
        }
        const struct timespec step = {0, step_ns};
        ::nanosleep(&step, nullptr);
        step_ns = std::min(step_ns * 2, 5L * 1000 * 1000);
    }
    return wait_for(pid, status);
}

} // namespace

HelperOutput exchange(const Helper& helper, const Limits& limits, const std::vector<std::string>& argv,
                      std::string_view input, std::size_t output_limit)
{
    stop_clock clock;
    if (const auto& timeout = limits.timeout ? limits.timeout : helper.timeout; timeout)
        clock.deadline = steady::now() + *timeout;

    unique_fd in_read, in_write, out_read, out_write, err_read, err_write;
    if (make_pipe(in_read, in_write) != 0 || make_pipe(out_read, out_write) != 0
        || make_pipe(err_read, err_write) != 0)
        return system_failure(HelperError::io_failed);

    file_actions actions;
    if (int error = posix_spawn_file_actions_init(&actions.actions); error != 0) {
        errno = error;
        return system_failure(HelperError::spawn_failed);
    }
    actions.ready = true;
    spawn_attributes attributes;
    if (int error = posix_spawnattr_init(&attributes.attributes); error != 0) {
        errno = error;
        return system_failure(HelperError::spawn_failed);
    }
    attributes.ready = true;
    // The helper starts with no blocked signals and SIGPIPE at its default,
    // whatever the parent application does with them; descriptors the parent
    // left inheritable do not reach it.
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t sigpipe_only;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    int error = posix_spawn_file_actions_adddup2(&actions.actions, in_read.get(), 0);
    if (error == 0)
        error = posix_spawn_file_actions_adddup2(&actions.actions, out_write.get(), 1);
    if (error == 0)
        error = posix_spawn_file_actions_adddup2(&actions.actions, err_write.get(), 2);
    if (error == 0)
        error = posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3);
    if (error == 0)
        error = posix_spawnattr_setsigmask(&attributes.attributes, &empty);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&attributes.attributes, &sigpipe_only);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (error != 0) {
        errno = error;
        return system_failure(HelperError::spawn_failed);
    }

    std::vector<char*> arg_pointers;
    for (const std::string& arg : argv)
        arg_pointers.push_back(const_cast<char*>(arg.c_str()));
    arg_pointers.push_back(nullptr);
    std::vector<char*> env_pointers;
    for (const std::string& entry : helper.environment)
        env_pointers.push_back(const_cast<char*>(entry.c_str()));
    env_pointers.push_back(nullptr);

    pid_t pid = -1;
    error = posix_spawn(&pid, helper.path.c_str(), &actions.actions, &attributes.attributes, arg_pointers.data(),
                        env_pointers.data());
    if (error != 0) {
        errno = error;
        return system_failure(HelperError::spawn_failed);
    }
    in_read.reset();
    out_write.reset();
    err_write.reset();

    HelperOutput output;
    sigpipe_guard guard;
    if (input.empty())
        in_write.reset();
    else if (::fcntl(in_write.get(), F_SETFL, O_NONBLOCK) != 0)
        output = system_failure(HelperError::io_failed);

    std::size_t written = 0;
    char buffer[chunk_size];
    bool watch_cancel = limits.cancel_fd >= 0;
    // Stopping closes the helper's input (a create then removes what it made)
    // and gives it the grace period to answer; after that it is killed.
    auto begin_stop = [&](HelperError why) {
        output.stopped = why;
        in_write.reset();
        watch_cancel = false;
        clock.grace_end = steady::now() + cancel_grace;
    };
    while (output.error == HelperError::none && (in_write.valid() || out_read.valid() || err_read.valid())) {
        struct pollfd polled[4];
        nfds_t count = 0;
        int in_slot = -1, out_slot = -1, err_slot = -1, cancel_slot = -1;
        if (watch_cancel) {
            cancel_slot = static_cast<int>(count);
            polled[count++] = {limits.cancel_fd, POLLIN, 0};
        }
        if (in_write.valid()) {
            in_slot = static_cast<int>(count);
            polled[count++] = {in_write.get(), POLLOUT, 0};
        }
        if (out_read.valid()) {
            out_slot = static_cast<int>(count);
            polled[count++] = {out_read.get(), POLLIN, 0};
        }
        if (err_read.valid()) {
            err_slot = static_cast<int>(count);
            polled[count++] = {err_read.get(), POLLIN, 0};
        }
        const int ready = ::poll(polled, count, clock.poll_timeout());
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            output = system_failure(HelperError::io_failed);
            break;
        }
        if (ready == 0 && clock.grace_end) {
            ::kill(pid, SIGKILL); // the grace period is over
            break;
        }
        if (ready == 0) {
            begin_stop(HelperError::timed_out);
            continue;
        }
        if (cancel_slot >= 0 && polled[cancel_slot].revents != 0) {
            begin_stop(HelperError::cancelled);
            continue;
        }
        if (in_slot >= 0 && polled[in_slot].revents != 0) {
            std::size_t part = std::min(chunk_size, input.size() - written);
            ssize_t n = ::write(in_write.get(), input.data() + written, part);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                if (written == input.size())
                    in_write.reset(); // end of input
            } else if (n < 0 && errno == EPIPE) {
                in_write.reset(); // the helper no longer reads: it has decided without the rest
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                output = system_failure(HelperError::io_failed);
            }
        }
        if (out_slot >= 0 && polled[out_slot].revents != 0) {
            ssize_t n = ::read(out_read.get(), buffer, sizeof buffer);
            if (n > 0) {
                std::size_t room = output_limit + 1 - output.out.size();
                output.out.append(buffer, std::min(room, static_cast<std::size_t>(n)));
                if (output.out.size() > output_limit) {
                    // More than any answer may hold: nothing after this is read.
                    ::kill(pid, SIGKILL);
                    output.overflowed = true;
                    out_read.reset();
                    err_read.reset();
                    in_write.reset();
                }
            } else if (n == 0) {
                out_read.reset();
            } else if (errno != EINTR && errno != EAGAIN) {
                output = system_failure(HelperError::io_failed);
            }
        }
        if (err_slot >= 0 && err_read.valid() && polled[err_slot].revents != 0) {
            ssize_t n = ::read(err_read.get(), buffer, sizeof buffer);
            if (n > 0)
                output.err_written = true;
            else if (n == 0)
                err_read.reset();
            else if (errno != EINTR && errno != EAGAIN)
                output = system_failure(HelperError::io_failed);
        }
    }
    if (output.error != HelperError::none && !output.overflowed)
        ::kill(pid, SIGKILL); // a child this call started and can no longer serve

    out_read.reset();
    err_read.reset();
    in_write.reset();
    int status = 0;
    if (wait_within(pid, clock, output, status) != 0) {
        if (output.error == HelperError::none)
            output = system_failure(HelperError::io_failed);
        return output;
    }
    if (WIFEXITED(status))
        output.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status) && !output.overflowed)
        // A stopped run killed at the end of its grace period shows SIGKILL here.
        output.signal = WTERMSIG(status);
    return output;
}

} // namespace anchorfs::client::detail
