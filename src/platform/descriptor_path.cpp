#include "platform/descriptor_path.hpp"

#include "platform/decimal_text.hpp"
#include "platform/mount_status.hpp"
#include "platform/owners.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// This process's proven descriptor table (/proc/<pid>/fd), -1 until proven.
// A descriptor table belongs to the process, so this is the run's one piece of
// state of its own; it is kept so that a run proves /proc once, and a run that
// never reads a descriptor path never opens /proc at all.
int proven_table = -1;

// A descriptor number as text; formatted by hand because this runs several
// times for every entry a tree removal deletes.
void number_text(long long value, char (&text)[24])
{
    std::size_t at = 0;
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) {
        text[at++] = '-'; // no such descriptor; the call reports it
        magnitude = 0ULL - magnitude;
    }
    at += decimal_digits(magnitude, text + at);
    text[at] = '\0';
}

int unproven()
{
    errno = EOPNOTSUPP;
    return -1;
}

// A missing or misshapen /proc is reported as unproven; other errors of the
// calls (no descriptor left, no memory) as themselves.
int unproven_unless_resource_error()
{
    if (errno != EMFILE && errno != ENFILE && errno != ENOMEM && errno != EINTR)
        errno = EOPNOTSUPP;
    return -1;
}

// A directory opened by name below `parent` on the same procfs mount.
unique_fd open_on_mount(int parent, const char* name, std::uint64_t mount_id)
{
    unique_fd dir(::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) {
        unproven_unless_resource_error();
        return dir;
    }
    struct stat status;
    mount_place place;
    if (status_with_mount(dir.get(), "", AT_EMPTY_PATH, status, place) != 0) {
        unproven_unless_resource_error();
        return {};
    }
    if (place.mount_root || place.mount_id != mount_id) {
        unproven();
        return {};
    }
    return dir;
}

int prove_table()
{
    unique_fd proc(::open("/proc", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!proc.valid())
        return unproven_unless_resource_error();
    struct statfs filesystem;
    if (::fstatfs(proc.get(), &filesystem) != 0)
        return unproven_unless_resource_error();
    if (filesystem.f_type != PROC_SUPER_MAGIC)
        return unproven();
    std::uint64_t proc_mount = 0;
    if (descriptor_mount_id(proc.get(), proc_mount) != 0)
        return unproven_unless_resource_error();
    // "self" must name this process as this process knows itself: a procfs of
    // another pid namespace names another number, or none.
    char pid[24];
    number_text(::getpid(), pid);
    char self[24];
    ssize_t length = ::readlinkat(proc.get(), "self", self, sizeof self - 1);
    if (length < 0)
        return unproven_unless_resource_error();
    self[length] = '\0';
    if (std::strcmp(self, pid) != 0)
        return unproven();
    unique_fd process = open_on_mount(proc.get(), pid, proc_mount);
    if (!process.valid())
        return -1;
    unique_fd table = open_on_mount(process.get(), "fd", proc_mount);
    if (!table.valid())
        return -1;
    // The table is ours when the entry of its own descriptor leads back to it.
    char own[24];
    number_text(table.get(), own);
    struct stat through_entry;
    struct stat held;
    if (::fstatat(table.get(), own, &through_entry, 0) != 0 || ::fstat(table.get(), &held) != 0)
        return unproven_unless_resource_error();
    if (through_entry.st_dev != held.st_dev || through_entry.st_ino != held.st_ino)
        return unproven();
    return table.release();
}

int table_descriptor()
{
    if (proven_table < 0)
        proven_table = prove_table();
    return proven_table;
}

// The proven table and the name of fd's entry in it; -1 without a table.
int table_entry(int fd, char (&entry)[24])
{
    int table = table_descriptor();
    if (table >= 0)
        number_text(fd, entry);
    return table;
}

} // namespace

int prove_descriptor_table()
{
    return table_descriptor() < 0 ? -1 : 0;
}

int descriptor_path(int fd, char* buffer)
{
    char entry[24];
    int table = table_entry(fd, entry);
    if (table < 0)
        return -1;
    ssize_t length = ::readlinkat(table, entry, buffer, full_path_capacity);
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

int entry_path_fits(int dir, const char* name)
{
    static char path[full_path_capacity]; // static: a run must fit a 64 KiB stack
    if (descriptor_path(dir, path) != 0)
        return -1;
    std::size_t directory_length = std::strlen(path);
    std::size_t separator = directory_length == 1 ? 0 : 1; // "/" needs none
    // The entry's path and its terminator.
    if (directory_length + separator + std::strlen(name) + 1 > full_path_capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// The entry is a link to the object itself; following it reaches that object
// whatever name it has now.
int change_mode_through_descriptor(int fd, mode_t mode)
{
    char entry[24];
    int table = table_entry(fd, entry);
    return table < 0 ? -1 : ::fchmodat(table, entry, mode, 0);
}

unique_fd reopen_through_descriptor(int fd, int flags)
{
    char entry[24];
    int table = table_entry(fd, entry);
    return unique_fd(table < 0 ? -1 : ::openat(table, entry, flags | O_CLOEXEC));
}

proc_view_holder::~proc_view_holder()
{
    if (proven_table >= 0) {
        int saved = errno;
        ::close(proven_table);
        errno = saved;
        proven_table = -1;
    }
}

} // namespace anchorfs
