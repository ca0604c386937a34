#include "platform/descriptor_path.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace anchorfs {

namespace {

// "/proc/self/fd/" and the descriptor's number; formatted by hand because this
// runs several times for every entry a tree removal deletes, and snprintf was
// the larger part of the run's own instructions there.
void descriptor_link(int fd, char (&link)[32])
{
    static constexpr char prefix[] = "/proc/self/fd/";
    constexpr std::size_t prefix_length = sizeof prefix - 1;
    std::memcpy(link, prefix, prefix_length);
    std::size_t at = prefix_length;
    long long value = fd;
    if (value < 0) {
        link[at++] = '-'; // no such descriptor; readlink reports it
        value = -value;
    }
    char digits[12];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        link[at++] = digits[--count];
    link[at] = '\0';
}

} // namespace

int descriptor_path(int fd, char* buffer)
{
    char link[32];
    descriptor_link(fd, link);
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
