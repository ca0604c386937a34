// anchorfs: one anchored file-system operation per run, reported as one JSON line.

#include "cli/front_end.hpp"

#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <fcntl.h>
#include <poll.h>

// A run takes nothing from its environment. The environment is emptied before
// any library initialiser runs (the priority puts this ahead of them): the hash
// library's processor-feature selection would otherwise honour variables that
// change its choice and that make it write to standard error.
__attribute__((constructor(101))) static void forget_environment()
{
    ::clearenv();
}

namespace {

// A run ends by finishing, by a failed step with its undo, or by SIGKILL (the
// crash the recover commands settle); never half-way through by a catchable
// signal. Every signal whose default is to end the process is blocked for the
// whole run, except those the program raises on a fault of its own. SIGIO is
// blocked too: lease breaks come as SIGURG, and a SIGIO from another process
// must not end a run. SIGPIPE and SIGXFSZ are ignored instead, so a closed
// reader and the file-size limit surface as EPIPE and EFBIG.
void block_termination_signals()
{
    sigset_t blocked;
    sigfillset(&blocked);
    for (int own : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&blocked, own);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

// A standard stream the parent left closed is taken by a descriptor that
// refuses reads and writes: otherwise the run's first open would land there,
// and the line would be written into a file of the tree.
void occupy_closed_standard_streams()
{
    struct pollfd streams[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (::poll(streams, 3, 0) < 0)
        return;
    for (const struct pollfd& stream : streams) {
        if ((stream.revents & POLLNVAL) == 0)
            continue;
        int placeholder = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (placeholder >= 0 && placeholder != stream.fd) {
            ::dup3(placeholder, stream.fd, O_CLOEXEC);
            ::close(placeholder);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    block_termination_signals();
    occupy_closed_standard_streams();
    return anchorfs::run_front_end(argc, argv);
}
