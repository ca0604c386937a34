#include "platform/directory_listing.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// Holds "." and ".." and at least one entry with a name of 255 bytes.
constexpr std::size_t listing_buffer_size = 1024;

// What one read asks for first: the record of a 255-byte name (its header,
// the name and its terminator, aligned to 8 bytes). The file system fills a
// read with as many records as fit, each costing it a lookup of its own, and
// a listing uses its first entry and that entry's successor; with short names
// this takes about 8 records, where the whole buffer took about 32. A record
// that does not fit (EINVAL, nothing read) is read again into the whole
// buffer, as a file system may report a longer name than Linux ever takes.
constexpr std::size_t first_read_size = (offsetof(dirent64, d_name) + 256 + 7) / 8 * 8;
static_assert(first_read_size == 280 && first_read_size <= listing_buffer_size);

bool dot_or_dot_dot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Reads from `start`, where the descriptor stands, up to the first entry
// other than "." and "..". When that entry is `expected` (the successor a
// listing saw after the entry found last), its own position is
// `expected_position`: positions are stable where listings are resumed, so
// the next listing starts right at it. 1 with the entry copied and `found` set
// for it, 0 when nothing is there, -1 on failure.
int read_first_entry(int listing_fd, std::int64_t start, const char* expected, std::int64_t expected_position,
                     char* name, std::size_t capacity, listing_resume& found)
{
    alignas(std::uint64_t) char buffer[listing_buffer_size];
    // The position at which the next record of the buffer was read.
    std::int64_t position = start;
    for (;;) {
        ssize_t got = ::getdents64(listing_fd, buffer, first_read_size);
        if (got < 0 && errno == EINVAL)
            got = ::getdents64(listing_fd, buffer, sizeof buffer);
        if (got <= 0)
            return static_cast<int>(got);
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            std::int64_t entry_position = position;
            position = entry->d_off;
            // A fresh descriptor may yield "." or ".." first wherever it is
            // seeked to (and ext4 lists them among the others by their hash).
            if (dot_or_dot_dot(entry->d_name))
                continue;
            if (expected != nullptr && std::strcmp(entry->d_name, expected) == 0)
                entry_position = expected_position;
            std::size_t length = std::strlen(entry->d_name);
            if (length == 0 || length >= capacity) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(name, entry->d_name, length + 1);
            found.position = entry_position;
            found.successor_position = entry->d_off;
            found.successor[0] = '\0';
            // The next record other than "." and ".." in the buffer, and the
            // position reported right before it.
            for (ssize_t next_at = at; next_at < got;) {
                const auto* next = reinterpret_cast<const dirent64*>(buffer + next_at);
                next_at += next->d_reclen;
                if (dot_or_dot_dot(next->d_name)) {
                    found.successor_position = next->d_off;
                    continue;
                }
                std::size_t next_length = std::strlen(next->d_name);
                if (next_length < sizeof found.successor)
                    std::memcpy(found.successor, next->d_name, next_length + 1);
                break;
            }
            return 1;
        }
    }
}

// The listing read again from its start, after a position the directory no
// longer takes.
int read_from_start(int listing_fd, listing_resume& resume, char* name, std::size_t capacity)
{
    resume = listing_resume{};
    if (::lseek(listing_fd, 0, SEEK_SET) < 0)
        return -1;
    return read_first_entry(listing_fd, 0, nullptr, 0, name, capacity, resume);
}

} // namespace

int first_directory_entry(int listing_fd, listing_resume& resume, char* name, std::size_t capacity)
{
    // EINVAL from a seek means the position is not one the directory takes
    // now: ext4 checks a removed directory's positions as byte offsets, and a
    // name hash lies far beyond them. The listing from the start tells what
    // is there (for a removed directory, ENOENT). A fresh descriptor reads
    // from the start without a seek.
    if (resume.position != 0 && ::lseek(listing_fd, static_cast<off_t>(resume.position), SEEK_SET) < 0)
        return errno == EINVAL ? read_from_start(listing_fd, resume, name, capacity) : -1;
    char successor[sizeof resume.successor];
    std::memcpy(successor, resume.successor, sizeof successor);
    return read_first_entry(listing_fd, resume.position, successor[0] != '\0' ? successor : nullptr,
                            resume.successor_position, name, capacity, resume);
}

} // namespace anchorfs
