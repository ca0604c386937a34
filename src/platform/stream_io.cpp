#include "platform/stream_io.hpp"

#include <cerrno>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace anchorfs {

// Linux gives a descriptor that would block one error number for both names.
static_assert(EAGAIN == EWOULDBLOCK);

namespace {

// Waits until fd is ready for `events`; a hang-up or error is left for the
// next read or write to report with its own error.
int wait_ready(int fd, short events)
{
    struct pollfd wanted = {fd, events, 0};
    for (;;) {
        int ready = ::poll(&wanted, 1, -1);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return ready > 0 ? 0 : -1;
    }
}

} // namespace

int write_whole(int fd, const void* bytes, std::size_t count)
{
    const char* next = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t written = ::write(fd, next, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && wait_ready(fd, POLLOUT) == 0)
                continue;
            return -1;
        }
        if (written == 0) {
            errno = EIO; // a write that takes nothing would never finish
            return -1;
        }
        next += written;
        count -= static_cast<std::size_t>(written);
    }
    return 0;
}

ssize_t read_waiting(int fd, void* buffer, std::size_t size)
{
    for (;;) {
        ssize_t got = ::read(fd, buffer, size);
        if (got >= 0)
            return got;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || wait_ready(fd, POLLIN) != 0)
            return -1;
    }
}

int check_descriptor_room(unsigned count)
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    // Free slots are found by polling a window of descriptor numbers: a closed
    // one answers POLLNVAL. One window of 64 is almost always enough.
    constexpr int window = 64;
    struct pollfd slots[window];
    unsigned free_slots = 0;
    for (rlim_t first = 0; first < limit.rlim_cur && free_slots < count; first += window) {
        const rlim_t left = limit.rlim_cur - first;
        const int size = left < window ? static_cast<int>(left) : window;
        for (int i = 0; i < size; ++i)
            slots[i] = {static_cast<int>(first) + i, 0, 0};
        if (::poll(slots, static_cast<nfds_t>(size), 0) < 0)
            return -1;
        for (int i = 0; i < size; ++i)
            free_slots += (slots[i].revents & POLLNVAL) != 0 ? 1U : 0U;
    }
    if (free_slots < count) {
        errno = EMFILE;
        return -1;
    }
    return 0;
}

} // namespace anchorfs
