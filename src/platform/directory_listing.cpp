#include "platform/directory_listing.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <sys/types.h>

namespace anchorfs {

namespace {

// Holds "." and ".." and at least one entry with a name of 255 bytes.
constexpr std::size_t listing_buffer_size = 1024;

bool dot_or_dot_dot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

int first_directory_entry(int listing_fd, char* name, std::size_t capacity)
{
    alignas(std::uint64_t) char buffer[listing_buffer_size];
    for (;;) {
        ssize_t got = ::getdents64(listing_fd, buffer, sizeof buffer);
        if (got < 0)
            return -1;
        if (got == 0)
            return 0;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (dot_or_dot_dot(entry->d_name))
                continue;
            std::size_t length = std::strlen(entry->d_name);
            if (length == 0 || length >= capacity) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(name, entry->d_name, length + 1);
            return 1;
        }
    }
}

} // namespace anchorfs
