#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <fcntl.h>

namespace anchorfs {

static int typed_at(int dir, const char* name, struct stat& status, mode_t type)
{
    if (status_below(dir, name, status) != 0)
        return -1;
    if ((status.st_mode & S_IFMT) == type)
        return 0;
    errno = ESTALE;
    return -1;
}

int regular_at(int dir, const char* name, struct stat& status)
{
    return typed_at(dir, name, status, S_IFREG);
}

int directory_at(int dir, const char* name, struct stat& status)
{
    return typed_at(dir, name, status, S_IFDIR);
}

unique_fd open_regular_at(int dir, const char* name, struct stat* opened_status)
{
    // Held first by a descriptor that opens nothing, and looked at through it:
    // a FIFO, socket or device that holds the name, or takes it after a look
    // at the name, is never opened for reading.
    unique_fd handle(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!handle.valid())
        return {};
    struct stat status;
    if (descriptor_status_below(handle.get(), status) != 0)
        return {};
    if (S_ISLNK(status.st_mode)) {
        errno = ELOOP;
        return {};
    }
    if (!S_ISREG(status.st_mode)) {
        errno = ESTALE;
        return {};
    }
    // The object behind the handle keeps its type: this opens that regular
    // file, whatever its name holds now.
    unique_fd opened = reopen_through_descriptor(handle.get(), O_RDONLY | O_NONBLOCK);
    if (opened.valid() && opened_status != nullptr)
        *opened_status = status;
    return opened;
}

bool absent_at(int dir, const char* name)
{
    struct stat status;
    if (status_below(dir, name, status) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT;
}

bool matches_file_identity(const struct stat& status, const file_identity& identity)
{
    return S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_dev) == identity.device
           && static_cast<std::uint64_t>(status.st_ino) == identity.inode
           && static_cast<std::uint64_t>(status.st_nlink) == identity.link_count
           && static_cast<std::uint64_t>(status.st_uid) == identity.owner_uid
           && static_cast<std::uint64_t>(status.st_mode) == identity.mode;
}

int exact_regular_at(int dir, const char* name, const file_identity& identity)
{
    struct stat status;
    if (status_below(dir, name, status) != 0)
        return -1;
    if (matches_file_identity(status, identity))
        return 0;
    errno = ESTALE;
    return -1;
}

bool same_regular_identity(const struct stat& expected, const struct stat& observed)
{
    return S_ISREG(expected.st_mode) && S_ISREG(observed.st_mode) && expected.st_dev == observed.st_dev
           && expected.st_ino == observed.st_ino && expected.st_nlink == observed.st_nlink
           && expected.st_uid == observed.st_uid && expected.st_mode == observed.st_mode;
}

bool same_directory_identity(const struct stat& expected, const struct stat& observed)
{
    return S_ISDIR(expected.st_mode) && S_ISDIR(observed.st_mode) && expected.st_dev == observed.st_dev
           && expected.st_ino == observed.st_ino && expected.st_uid == observed.st_uid
           && expected.st_mode == observed.st_mode;
}

bool same_file_snapshot(const struct stat& first, const struct stat& second)
{
    return same_regular_identity(first, second) && first.st_size == second.st_size
           && first.st_mtim.tv_sec == second.st_mtim.tv_sec && first.st_mtim.tv_nsec == second.st_mtim.tv_nsec
           && first.st_ctim.tv_sec == second.st_ctim.tv_sec && first.st_ctim.tv_nsec == second.st_ctim.tv_nsec;
}

int modified_nanoseconds(const struct stat& status, std::uint64_t& nanoseconds)
{
    std::int64_t seconds = status.st_mtim.tv_sec;
    std::uint64_t fraction = static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
    if (seconds < 0 || fraction > 999999999
        || static_cast<std::uint64_t>(seconds) > (UINT64_MAX - fraction) / 1000000000) {
        errno = EOVERFLOW;
        return -1;
    }
    nanoseconds = static_cast<std::uint64_t>(seconds) * 1000000000 + fraction;
    return 0;
}

} // namespace anchorfs
