#include "platform/descriptor_path.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace anchorfs {

int descriptor_path(int fd, char* buffer)
{
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = ::readlink(link, buffer, full_path_capacity);
    if (length < 0)
        return -1;
    if (static_cast<std::size_t>(length) >= full_path_capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    buffer[length] = '\0';
    // Anything but an absolute path ("pipe:[...]", an object outside our root)
    // is not a path; a removed name is reported with a " (deleted)" suffix.
    static constexpr char deleted[] = " (deleted)";
    constexpr std::size_t deleted_length = sizeof deleted - 1;
    if (buffer[0] != '/'
        || (static_cast<std::size_t>(length) >= deleted_length
            && std::memcmp(buffer + length - deleted_length, deleted, deleted_length) == 0)) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

} // namespace anchorfs
