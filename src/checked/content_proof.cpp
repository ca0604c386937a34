#include "checked/content_proof.hpp"

#include "checked/probes.hpp"
#include "platform/owners.hpp"
#include "platform/sha256.hpp"
#include "platform/mount_status.hpp"
#include "platform/writer_probe.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// Compares every character whatever the earlier results, so the time taken
// does not tell where the first difference lies.
bool digest_equals_text(const unsigned char (&digest)[sha256_digest_size], const char* text)
{
    static constexpr char digits[] = "0123456789abcdef";
    unsigned difference = 0;
    for (std::size_t i = 0; i < sha256_digest_size; ++i) {
        difference |= static_cast<unsigned char>(digits[digest[i] >> 4] ^ text[2 * i]);
        difference |= static_cast<unsigned char>(digits[digest[i] & 0x0F] ^ text[2 * i + 1]);
    }
    return difference == 0;
}

bool modified_equals(const struct stat& status, std::uint64_t expected)
{
    std::uint64_t nanoseconds;
    return modified_nanoseconds(status, nanoseconds) == 0 && nanoseconds == expected;
}

bool initial_status_matches(const struct stat& status, const exact_file_description& d)
{
    // A negative size cannot pass for d.size, which is at most content_limit.
    return S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_dev) == d.identity.device
           && static_cast<std::uint64_t>(status.st_ino) == d.identity.inode
           && static_cast<std::uint64_t>(status.st_uid) == d.identity.owner_uid
           && static_cast<std::uint64_t>(status.st_mode) == d.identity.mode
           && static_cast<std::uint64_t>(status.st_size) == d.size && modified_equals(status, d.modified_ns);
}

// The reads of one proof, from a start whose status `initial` matches the
// description and after which no other writer was found.
int prove_content_from(int fd, const exact_file_description& description, const struct stat& initial,
                       struct stat* final_status)
{
    if (::lseek(fd, 0, SEEK_SET) < 0)
        return -1;
    sha256_state state;
    if (!sha256_start(state)) {
        errno = EIO;
        return -1;
    }
    // Static: a 64 KiB frame would not fit a small stack (the run is single-threaded).
    static unsigned char chunk[content_chunk];
    std::uint64_t total = 0;
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        // Reads go on to the end of the file, past the expected size, so a
        // file that grew is seen by its total.
        if (total > UINT64_MAX - static_cast<std::uint64_t>(got)
            || !sha256_feed(state, std::span<const unsigned char>(chunk, static_cast<std::size_t>(got)))) {
            errno = EIO;
            return -1;
        }
        total += static_cast<std::uint64_t>(got);
    }
    unsigned char digest[sha256_digest_size];
    if (total != description.size || !sha256_finish(state, digest)
        || !digest_equals_text(digest, description.digest)) {
        errno = ESTALE;
        return -1;
    }
    struct stat after;
    if (descriptor_status_below(fd, after) != 0)
        return -1;
    // The change time too: a writer that opened after the first probe,
    // rewrote bytes already hashed, put the modification time back and closed
    // before the second probe leaves size and modification time as they were,
    // but cannot put the change time back.
    if (!same_file_snapshot(initial, after)) {
        errno = ESTALE;
        return -1;
    }
    // A writer that came during the reads and is still there.
    if (probe_no_other_writer(fd) != 0)
        return -1;
    if (final_status != nullptr)
        *final_status = after;
    return 0;
}

bool valid_description(const exact_file_description& description)
{
    if (description.size > content_limit || !valid_sha256_hex(description.digest)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// One proof whose first look at the file behind fd is `initial`; the writer
// probe before the reads is left to a proof that ended right before.
int prove_content_starting(int fd, const exact_file_description& description, const struct stat& initial,
                           bool probe_first, struct stat* final_status)
{
    if (!initial_status_matches(initial, description)) {
        errno = ESTALE;
        return -1;
    }
    // A writer through a shared mapping can change the bytes without moving
    // the times: the proof stands only while no other process can write.
    if (probe_first && probe_no_other_writer(fd) != 0)
        return -1;
    return prove_content_from(fd, description, initial, final_status);
}

} // namespace

int exact_regular_content_descriptor(int fd, const exact_file_description& description,
                                     struct stat* final_status)
{
    if (!valid_description(description))
        return -1;
    struct stat initial;
    if (descriptor_status_below(fd, initial) != 0)
        return -1;
    return prove_content_starting(fd, description, initial, true, final_status);
}

int exact_regular_content_opened(int fd, const exact_file_description& description, const struct stat& opened,
                                 struct stat* final_status)
{
    if (!valid_description(description))
        return -1;
    return prove_content_starting(fd, description, opened, true, final_status);
}

int exact_regular_content_descriptor_again(int fd, const exact_file_description& description,
                                           const struct stat& proven, struct stat* final_status)
{
    if (!valid_description(description))
        return -1;
    return prove_content_starting(fd, description, proven, false, final_status);
}

int exact_regular_content_at(int dir, const char* name, const exact_file_description& description,
                             struct stat* final_status)
{
    struct stat opened;
    unique_fd fd = open_regular_at(dir, name, &opened);
    if (!fd.valid())
        return -1;
    struct stat proven;
    if (exact_regular_content_opened(fd.get(), description, opened, &proven) != 0)
        return -1;
    struct stat named;
    if (status_below(dir, name, named) != 0 || !S_ISREG(named.st_mode)
        || named.st_dev != proven.st_dev || named.st_ino != proven.st_ino
        || static_cast<std::uint64_t>(named.st_uid) != description.identity.owner_uid
        || static_cast<std::uint64_t>(named.st_mode) != description.identity.mode) {
        errno = ESTALE;
        return -1;
    }
    if (final_status != nullptr)
        *final_status = proven;
    return 0;
}

int exact_recovery_file_at(int dir, const char* name, const exact_file_description& description,
                           struct stat* final_status)
{
    struct stat proven;
    if (exact_regular_content_at(dir, name, description, &proven) != 0
        || static_cast<std::uint64_t>(proven.st_nlink) != description.identity.link_count) {
        errno = ESTALE;
        return -1;
    }
    if (final_status != nullptr)
        *final_status = proven;
    return 0;
}

bool sha256_matches(std::span<const unsigned char> bytes, const char* digest)
{
    if (bytes.size() > content_limit || !valid_sha256_hex(digest)) {
        errno = EINVAL;
        return false;
    }
    unsigned char computed[sha256_digest_size];
    if (!sha256_once(bytes, computed)) {
        errno = EIO;
        return false;
    }
    if (!digest_equals_text(computed, digest)) {
        errno = ESTALE;
        return false;
    }
    return true;
}

} // namespace anchorfs
