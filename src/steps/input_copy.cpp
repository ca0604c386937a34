#include "steps/input_copy.hpp"

#include "platform/stream_io.hpp"

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace anchorfs {

int copy_exact_input(int fd, std::uint64_t size)
{
    // Static: a 64 KiB frame would not fit a small stack (the run is single-threaded).
    constexpr std::size_t chunk = 65536;
    static unsigned char buffer[chunk];
    std::uint64_t copied = 0;
    while (copied < size) {
        std::uint64_t missing = size - copied;
        std::size_t wanted = missing < chunk ? static_cast<std::size_t>(missing) : chunk;
        ssize_t got = read_waiting(STDIN_FILENO, buffer, wanted);
        if (got < 0)
            return -1;
        if (got == 0) {
            errno = EINVAL; // input ended early
            return -1;
        }
        if (write_whole(fd, buffer, static_cast<std::size_t>(got)) != 0)
            return -1;
        copied += static_cast<std::uint64_t>(got);
    }
    unsigned char extra;
    if (read_waiting(STDIN_FILENO, &extra, 1) != 0) {
        errno = EINVAL; // more input than announced, or the end could not be read
        return -1;
    }
    return 0;
}

} // namespace anchorfs
