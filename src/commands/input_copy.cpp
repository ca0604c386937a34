#include "commands/input_copy.hpp"

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace anchorfs {

static int write_all(int fd, const unsigned char* bytes, std::size_t count)
{
    while (count > 0) {
        errno = 0;
        ssize_t written = ::write(fd, bytes, count);
        if (written <= 0) {
            if (errno == 0)
                errno = EINVAL;
            return -1;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return 0;
}

int copy_exact_input(int fd, std::uint64_t size)
{
    constexpr std::size_t chunk = 65536;
    unsigned char buffer[chunk];
    std::uint64_t copied = 0;
    while (copied < size) {
        std::uint64_t missing = size - copied;
        std::size_t wanted = missing < chunk ? static_cast<std::size_t>(missing) : chunk;
        ssize_t got = ::read(STDIN_FILENO, buffer, wanted);
        if (got < 0)
            return -1;
        if (got == 0) {
            errno = EINVAL; // input ended early
            return -1;
        }
        if (write_all(fd, buffer, static_cast<std::size_t>(got)) != 0)
            return -1;
        copied += static_cast<std::uint64_t>(got);
    }
    unsigned char extra;
    if (::read(STDIN_FILENO, &extra, 1) != 0) {
        errno = EINVAL; // more input than announced, or the end could not be read
        return -1;
    }
    return 0;
}

} // namespace anchorfs
