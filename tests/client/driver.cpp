// Stand-ins for the helper in the client's limit tests:
//
//   relay BYTES SIGNAL PROGRAM ARGS...
//       runs PROGRAM with ARGS, passes exactly BYTES of its own standard input
//       on to it, writes one byte to the FIFO SIGNAL (unless it is "-"), and
//       then stalls: it reads nothing more until its own input is closed, and
//       only then closes PROGRAM's. A create run through it is cut mid-copy at
//       a known byte, whatever the machine's speed.
//   hang ARGS...
//       never answers and ignores its input being closed.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int relay(unsigned long long count, const char* signal_path, char** program)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return 70;
    ::signal(SIGPIPE, SIG_IGN);
    const pid_t child = ::fork();
    if (child < 0)
        return 70;
    if (child == 0) {
        ::dup2(ends[0], 0);
        ::close(ends[0]);
        ::close(ends[1]);
        ::execv(program[0], program);
        ::_exit(127);
    }
    ::close(ends[0]);
    char buffer[65536];
    while (count > 0) {
        const ssize_t n = ::read(0, buffer, count < sizeof buffer ? count : sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(ends[1], buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return 70;
            done += w;
        }
        count -= static_cast<unsigned long long>(n);
    }
    if (std::string_view(signal_path) != "-") {
        const int fifo = ::open(signal_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fifo < 0 || ::write(fifo, "x", 1) != 1)
            return 70;
        ::close(fifo);
    }
    // Polling for no event reports only the hang-up of the writer.
    struct pollfd input = {0, 0, 0};
    while (true) {
        if (::poll(&input, 1, -1) < 0 && errno != EINTR)
            return 70;
        if ((input.revents & (POLLHUP | POLLERR)) != 0)
            break;
    }
    ::close(ends[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return 70;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::string_view(argv[1]) == "relay")
        return relay(std::strtoull(argv[2], nullptr, 10), argv[3], argv + 4);
    if (argc >= 2 && std::string_view(argv[1]) == "hang") {
        while (true)
            ::pause();
    }
    return 64;
}
