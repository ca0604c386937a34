#include "platform/writer_probe.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>

namespace anchorfs {

int probe_no_other_writer(int fd)
{
    // A writer that opens the file while the lease is held breaks it, and the
    // kernel then signals the lease holder, with SIGIO unless told otherwise;
    // SIGIO would end the run. SIGURG is ignored by default, and an exec keeps
    // it default or ignored, so the notice of a break is harmless.
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0)
        return -1;
    const int saved = errno;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        if (errno == EAGAIN) {
            errno = ESTALE;
            return -1;
        }
        if (errno != EACCES && errno != EPERM && errno != EINVAL)
            return -1;
        errno = saved; // skipped: callers may tell a failure by errno set after clearing it
        return 0;
    }
    // The kernel takes a broken lease away once its writer has waited out the
    // break time; the drop then finds none (EAGAIN): a writer opened the file.
    if (::fcntl(fd, F_SETLEASE, F_UNLCK) != 0) {
        if (errno == EAGAIN)
            errno = ESTALE;
        return -1;
    }
    return 0;
}

} // namespace anchorfs
