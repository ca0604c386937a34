// The seam driver: small scenarios that show what the seam and the harness do
// where the binary cannot (its environment, errno across the seam, the mode of
// a variadic open, large standard input). `seam_driver SCENARIO [ARGS...]`
// prints its findings on standard output and returns 0; 99 for an unknown
// scenario. It ends through exit() so that the seam's exit checks run.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace {

int print_environment()
{
    for (char** entry = environ; *entry != nullptr; ++entry)
        std::printf("%s\n", *entry);
    return 0;
}

// Leaves one descriptor open on purpose for the descriptor check.
int leak_descriptor()
{
    std::printf("%d\n", ::open("/dev/null", O_RDONLY));
    return 0;
}

void report_open(const char* name, int fd)
{
    if (fd >= 0) {
        std::printf("%s ok\n", name);
        ::close(fd);
    } else {
        std::printf("%s %d\n", name, errno);
    }
}

// One call under each name of the open family, in a known order.
int open_aliases()
{
    report_open("open64", ::open64("/dev/null", O_RDONLY | O_CLOEXEC));
    report_open("open", ::open("/dev/null", O_RDONLY | O_CLOEXEC));
    report_open("openat64", ::openat64(AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
    report_open("openat", ::openat(AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
    return 0;
}

// errno after a successful call, after the end of a directory stream (which
// leaves errno alone) and after a failed close.
int errno_after_calls()
{
    struct stat status;
    errno = EDOM;
    ::fstat(0, &status);
    const int after_success = errno;
    DIR* listing = ::opendir("/");
    if (listing == nullptr)
        return 1;
    errno = EDOM;
    while (::readdir(listing) != nullptr) {
    }
    const int after_end = errno;
    ::closedir(listing);
    ::close(-1);
    const int after_failure = errno;
    std::printf("%d %d %d\n", after_success, after_end, after_failure);
    return 0;
}

int create_with_modes(const char* first, const char* second)
{
    ::umask(0);
    int a = ::open(first, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    int b = ::openat(AT_FDCWD, second, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0604);
    struct stat sa;
    struct stat sb;
    if (a < 0 || b < 0 || ::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0)
        return 1;
    std::printf("%o %o\n", static_cast<unsigned>(sa.st_mode & 07777), static_cast<unsigned>(sb.st_mode & 07777));
    ::close(a);
    ::close(b);
    return 0;
}

// The flush's result and errno go to standard error; "held" stays buffered.
int flush_standard_output()
{
    std::fputs("held", stdout);
    int result = std::fflush(stdout);
    std::fprintf(stderr, "%d %d\n", result, errno);
    return 0;
}

// Copies standard input to standard output as it arrives.
int echo_input()
{
    static char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n <= 0)
            return n == 0 ? 0 : 1;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(1, buffer + done, static_cast<std::size_t>(n - done));
            if (w <= 0)
                return 1;
            done += w;
        }
    }
}

int print_credentials()
{
    std::printf("%u %u %d %03o\n", ::getuid(), ::getgid(), ::getgroups(0, nullptr),
                static_cast<unsigned>(::umask(0)));
    return 0;
}

// A directory read through a stream (libc's own entry point, not counted as
// getdents64), then twice through getdents64, then two fcntl calls: one
// result per line, "ok" or the errno.
int listing_and_flags()
{
    DIR* stream = ::opendir("/");
    if (stream == nullptr)
        return 1;
    while (::readdir(stream) != nullptr) {
    }
    ::closedir(stream);
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    alignas(8) char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
        got >= 0 ? std::printf("getdents64 ok\n") : std::printf("getdents64 %d\n", errno);
    }
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    copy >= 0 ? std::printf("fcntl ok\n") : std::printf("fcntl %d\n", errno);
    int flags = ::fcntl(copy >= 0 ? copy : fd, F_GETFD);
    flags == FD_CLOEXEC ? std::printf("fcntl ok\n") : std::printf("fcntl %d\n", errno);
    if (copy >= 0)
        ::close(copy);
    ::close(fd);
    return 0;
}

// One row per scenario: its name and what it runs.
struct scenario {
    const char* name;
    int (*run)();
};

const scenario scenarios[] = {
    {"environment", print_environment},   {"leak", leak_descriptor},
    {"aliases", open_aliases},            {"errno", errno_after_calls},
    {"fflush", flush_standard_output},    {"echo", echo_input},
    {"credentials", print_credentials},   {"listing-and-flags", listing_and_flags},
};

int run(int argc, char** argv)
{
    const char* name = argc > 1 ? argv[1] : "";
    if (std::strcmp(name, "create-modes") == 0 && argc == 4)
        return create_with_modes(argv[2], argv[3]);
    for (const scenario& row : scenarios)
        if (std::strcmp(name, row.name) == 0)
            return row.run();
    return 99;
}

} // namespace

int main(int argc, char** argv)
{
    std::exit(run(argc, argv));
}
