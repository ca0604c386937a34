#include "scratch.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fuzz {

namespace {

[[noreturn]] void give_up(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "fuzz scratch: %s %s: %s\n", what, detail.c_str(), std::strerror(errno));
    std::abort();
}

bool usable_base(const char* base)
{
    struct stat status;
    return base != nullptr && base[0] == '/' && ::stat(base, &status) == 0 && S_ISDIR(status.st_mode)
           && ::access(base, W_OK) == 0;
}

void remove_scratch()
{
    const scratch_area& area = scratch();
    int container_fd = ::open(area.container.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (container_fd < 0)
        return;
    empty_directory(container_fd);
    ::close(container_fd);
    ::rmdir(area.container.c_str());
}

void write_file(int dir_fd, const char* name, const char* content, mode_t mode)
{
    int fd = ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        give_up("create", name);
    std::size_t length = std::strlen(content);
    if (::write(fd, content, length) != static_cast<ssize_t>(length) || ::fchmod(fd, mode) != 0)
        give_up("write", name);
    ::close(fd);
}

void make_directory(int dir_fd, const char* name, mode_t mode)
{
    if (::mkdirat(dir_fd, name, mode) != 0 || ::fchmodat(dir_fd, name, mode, 0) != 0)
        give_up("mkdir", name);
}

} // namespace

const scratch_area& scratch()
{
    static scratch_area area = [] {
        scratch_area made;
        // Deep trees hold one descriptor per level while they are removed.
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        const char* base = std::getenv("ANCHORFS_FUZZ_SCRATCH");
        if (!usable_base(base))
            base = usable_base("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string name = std::string(base) + "/anchorfs-fuzz-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr)
            give_up("mkdtemp", name);
        made.container = name;
        made.root = name + "/root";
        if (::chdir(made.container.c_str()) != 0)
            give_up("chdir", made.container);
        make_directory(AT_FDCWD, "root", 0755);
        made.root_fd = ::open("root", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (made.root_fd < 0)
            give_up("open", made.root);
        // The program's result lines and content go nowhere; no run reads a terminal.
        int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0)
            give_up("redirect", "/dev/null");
        ::close(null_fd);
        return made;
    }();
    static bool registered = (std::atexit(remove_scratch), true);
    (void)registered;
    return area;
}

void empty_directory(int top_fd)
{
    struct level {
        int fd;
        std::string name; // the name in the level above
    };
    std::vector<level> levels;
    int first = ::dup(top_fd);
    if (first < 0)
        give_up("dup", "scratch directory");
    levels.push_back({first, std::string()});
    while (!levels.empty()) {
        int fd = levels.back().fd;
        // Root may remove below directories of any mode, but not list one at 0.
        ::fchmod(fd, 0700);
        int listing_fd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* listing = listing_fd >= 0 ? ::fdopendir(listing_fd) : nullptr;
        if (listing == nullptr)
            give_up("list", levels.back().name);
        bool descended = false;
        while (const dirent* entry = ::readdir(listing)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            if (::unlinkat(fd, entry->d_name, 0) == 0)
                continue;
            if (errno != EISDIR)
                give_up("unlink", entry->d_name);
            if (::unlinkat(fd, entry->d_name, AT_REMOVEDIR) == 0)
                continue;
            int child = ::openat(fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0)
                give_up("open", entry->d_name);
            levels.push_back({child, entry->d_name});
            descended = true;
            break;
        }
        ::closedir(listing);
        if (descended)
            continue;
        level done = levels.back();
        levels.pop_back();
        ::close(done.fd);
        if (!levels.empty() && ::unlinkat(levels.back().fd, done.name.c_str(), AT_REMOVEDIR) != 0)
            give_up("rmdir", done.name);
    }
}

void reset_tree(int root_fd)
{
    empty_directory(root_fd);
    if (::fchmod(root_fd, 0755) != 0)
        give_up("chmod", "root");
    make_directory(root_fd, "a", 0755);
    write_file(root_fd, "a/f", "hello\n", 0644);
    write_file(root_fd, "a/g", "world\n", 0644);
    make_directory(root_fd, "a/b", 0755);
    make_directory(root_fd, "p", 0700);
    write_file(root_fd, "p/f", "secret\n", 0600);
    write_file(root_fd, "p/s", "", 0600);
    make_directory(root_fd, "p/t", 0700);
    write_file(root_fd, "p/t/x", "x\n", 0600);
    make_directory(root_fd, "p/t/y", 0700);
    make_directory(root_fd, "p/Q", 0700);
    make_directory(root_fd, "e", 0755);
    write_file(root_fd, "h1", "linked\n", 0644);
    if (::linkat(root_fd, "h1", root_fd, "h2", 0) != 0)
        give_up("link", "h2");
    if (::symlinkat("f", root_fd, "a/lf") != 0 || ::symlinkat("a", root_fd, "l") != 0
        || ::symlinkat("missing", root_fd, "d") != 0)
        give_up("symlink", "a/lf, l, d");
    if (::mkfifoat(root_fd, "q", 0644) != 0)
        give_up("mkfifo", "q");
}

} // namespace fuzz
