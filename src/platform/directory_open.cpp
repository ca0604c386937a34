#include "platform/directory_open.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace anchorfs {

int directory_open_flags()
{
    return O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
}

static void report_link_as_loop(int dir, const char* name)
{
    // Only the reported error changes here; the object is never used.
    struct stat status;
    if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        errno = ELOOP;
    else
        errno = ENOTDIR;
}

unique_fd open_directory_at(int dir, const char* name, int extra_flags)
{
    unique_fd fd(::openat(dir, name, directory_open_flags() | extra_flags));
    if (!fd.valid() && errno == ENOTDIR)
        report_link_as_loop(dir, name);
    return fd;
}

unique_fd open_directory_path(const char* path, int extra_flags)
{
    return open_directory_at(AT_FDCWD, path, extra_flags);
}

} // namespace anchorfs
