// Fuzz target: the front end's dispatch on arbitrary argument vectors, run in
// process against a scratch root that is laid out afresh before every input.
//
// Input: fields separated by zero bytes. Field 0 is slot 1 (the command name);
// slot 2 is always the scratch root, so no run can name another root; fields
// 1 to 3 are slots 3 to 5 and the rest the command's own slots. A field that
// starts with '<' is not a slot but standard input (its remaining bytes).
// Fields may be tokens that stand for facts of the fresh tree, which differ
// from run to run (inode numbers, times):
//   @dev @ino @uid        the root's device, inode, owner uid
//   @id:PATH              five slots: device inode links uid mode of PATH
//   @desc:PATH            eight slots: the identity, size, mtime (ns), SHA-256
//   @dir:PATH             three slots: device inode uid of the directory PATH
//   @bm:PATH              the bookmark text of the directory PATH
// PATH is below the root ("." for the root) and is looked up without crossing
// a symbolic link or leaving the root; a token whose PATH is not there gives
// slots of zeros.
//
// Checked after each run: the exit status is 0, 2 or 10; standard output
// starts with one result line whose "ok" matches the status; no descriptor
// is left open; the run did not move the process out of its directory.
// With ANCHORFS_FUZZ_SHOW set, every run's slots and result line are printed.

#include "platform/bookmark.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/sha256.hpp"
#include "cli/front_end.hpp"
#include "scratch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t largest_argc = 64;

[[noreturn]] void fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "front_end: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// Opens PATH below the root without crossing a symbolic link or leaving it.
int open_beneath(int root_fd, const std::string& path, int flags)
{
    if (path.empty())
        return -1;
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    return static_cast<int>(::syscall(SYS_openat2, root_fd, path.c_str(), &how, sizeof how));
}

bool status_beneath(int root_fd, const std::string& path, struct stat& status)
{
    int fd = open_beneath(root_fd, path, O_PATH);
    if (fd < 0)
        return false;
    bool ok = ::fstat(fd, &status) == 0;
    ::close(fd);
    return ok;
}

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

std::string digest_beneath(int root_fd, const std::string& path, const struct stat& status)
{
    std::string zero(64, '0');
    if (!S_ISREG(status.st_mode) || status.st_size > (1 << 20))
        return zero;
    int fd = open_beneath(root_fd, path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return zero;
    std::vector<unsigned char> content(static_cast<std::size_t>(status.st_size));
    ssize_t got = ::pread(fd, content.data(), content.size(), 0);
    ::close(fd);
    unsigned char digest[anchorfs::sha256_digest_size];
    if (got != status.st_size || !anchorfs::sha256_once(content, digest))
        return zero;
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::string bookmark_beneath(int root_fd, const std::string& path)
{
    // Making the record may prove /proc; the harness's own view is closed here
    // so that the descriptors listed before the run are the harness's alone.
    anchorfs::proc_view_holder proc_view;
    int fd = open_beneath(root_fd, path, O_RDONLY | O_DIRECTORY);
    struct stat status;
    anchorfs::unique_buffer record;
    std::string text;
    if (fd >= 0 && ::fstat(fd, &status) == 0 && anchorfs::make_bookmark_record(fd, status, record) == 0) {
        static constexpr char digits[] = "0123456789abcdef";
        for (std::size_t i = 0; i < record.size; ++i) {
            text += digits[record.data[i] >> 4];
            text += digits[record.data[i] & 0x0F];
        }
    }
    if (fd >= 0)
        ::close(fd);
    return text.empty() ? "00" : text;
}

// Appends the slots a field stands for.
void expand(const std::string& field, int root_fd, const struct stat& root_status, std::vector<std::string>& slots)
{
    auto starts = [&](std::string_view prefix) { return field.rfind(prefix, 0) == 0; };
    if (field == "@dev") {
        slots.push_back(number(root_status.st_dev));
    } else if (field == "@ino") {
        slots.push_back(number(root_status.st_ino));
    } else if (field == "@uid") {
        slots.push_back(number(root_status.st_uid));
    } else if (starts("@id:") || starts("@desc:")) {
        std::string path = field.substr(field.find(':') + 1);
        struct stat status {};
        bool found = status_beneath(root_fd, path, status);
        slots.push_back(number(status.st_dev));
        slots.push_back(number(status.st_ino));
        slots.push_back(number(status.st_nlink));
        slots.push_back(number(status.st_uid));
        slots.push_back(number(status.st_mode));
        if (starts("@desc:")) {
            slots.push_back(number(static_cast<std::uint64_t>(status.st_size)));
            slots.push_back(number(static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000ULL
                                   + static_cast<std::uint64_t>(status.st_mtim.tv_nsec)));
            slots.push_back(found ? digest_beneath(root_fd, path, status) : std::string(64, '0'));
        }
    } else if (starts("@dir:")) {
        struct stat status {};
        status_beneath(root_fd, field.substr(5), status);
        slots.push_back(number(status.st_dev));
        slots.push_back(number(status.st_ino));
        slots.push_back(number(status.st_uid));
    } else if (starts("@bm:")) {
        slots.push_back(bookmark_beneath(root_fd, field.substr(4)));
    } else {
        slots.push_back(field);
    }
}

struct process_state {
    int output_fd = -1; // standard output during a run, read back afterwards
    int input_fd = -1;  // standard input during a run
    struct stat directory {};
    bool show = false; // ANCHORFS_FUZZ_SHOW: print every run's slots and result line
};

// The process's open descriptors with what they refer to.
std::string list_descriptors()
{
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr)
        fail("cannot list /proc/self/fd", std::strerror(errno));
    std::vector<std::string> entries;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == ::dirfd(listing))
            continue;
        char target[256] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        entries.push_back(std::string(entry->d_name) + " -> " + (length > 0 ? target : "?"));
    }
    ::closedir(listing);
    std::sort(entries.begin(), entries.end());
    std::string text;
    for (const std::string& entry : entries)
        text += entry + "\n";
    return text;
}

process_state& state()
{
    static process_state made = [] {
        process_state s;
        fuzz::scratch();
        s.output_fd = ::memfd_create("front-end-output", MFD_CLOEXEC);
        s.input_fd = ::memfd_create("front-end-input", MFD_CLOEXEC);
        if (s.output_fd < 0 || s.input_fd < 0 || ::dup2(s.output_fd, STDOUT_FILENO) < 0
            || ::dup2(s.input_fd, STDIN_FILENO) < 0)
            fail("cannot set up standard input and output", std::strerror(errno));
        if (::stat(".", &s.directory) != 0)
            fail("cannot stat the working directory", std::strerror(errno));
        s.show = std::getenv("ANCHORFS_FUZZ_SHOW") != nullptr;
        return s;
    }();
    return made;
}

std::string describe(const std::vector<std::string>& slots, int status, const std::string& output)
{
    std::string text = "argv:";
    for (const std::string& slot : slots)
        text += " [" + slot + "]";
    text += "\nexit status " + std::to_string(status) + ", output: " + output.substr(0, 200);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    process_state& s = state();
    const fuzz::scratch_area& area = fuzz::scratch();
    fuzz::reset_tree(area.root_fd);
    struct stat root_status;
    if (::fstat(area.root_fd, &root_status) != 0)
        fail("cannot stat the scratch root", std::strerror(errno));

    std::vector<std::string> fields;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (;;) {
        std::size_t zero = rest.find('\0');
        fields.emplace_back(rest.substr(0, zero));
        if (zero == std::string_view::npos)
            break;
        rest.remove_prefix(zero + 1);
    }

    std::vector<std::string> slots{"anchorfs"};
    std::string input;
    bool have_input = false;
    bool root_placed = false;
    for (std::size_t i = 0; i < fields.size() && slots.size() < largest_argc; ++i) {
        if (!have_input && !fields[i].empty() && fields[i][0] == '<') {
            input = fields[i].substr(1);
            have_input = true;
            continue;
        }
        expand(fields[i], area.root_fd, root_status, slots);
        // Slot 2 is the scratch root, also when the first field stood for several slots.
        if (!root_placed) {
            slots.insert(slots.begin() + 2, area.root);
            root_placed = true;
        }
    }
    if (slots.size() > largest_argc)
        slots.resize(largest_argc);

    if (::ftruncate(s.input_fd, 0) != 0 || ::pwrite(s.input_fd, input.data(), input.size(), 0)
                                                != static_cast<ssize_t>(input.size())
        || ::lseek(STDIN_FILENO, 0, SEEK_SET) != 0 || ::ftruncate(s.output_fd, 0) != 0
        || ::lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        fail("cannot reset standard input and output", std::strerror(errno));

    std::vector<char*> argv;
    for (std::string& slot : slots)
        argv.push_back(slot.data());
    argv.push_back(nullptr);
    // Taken right before the run: between runs the fuzzer itself may open
    // descriptors (the pipes of its symbolizer).
    std::string descriptors = list_descriptors();
    int status = anchorfs::run_front_end(static_cast<int>(slots.size()), argv.data());
    std::fflush(stdout);

    std::string output(4096, '\0');
    ssize_t got = ::pread(s.output_fd, output.data(), output.size(), 0);
    output.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::string line = output.substr(0, output.find('\n'));

    if (status != anchorfs::exit_success && status != anchorfs::exit_protocol && status != anchorfs::exit_failure)
        fail("exit status outside 0, 2 and 10", describe(slots, status, output));
    if (output.find('\n') == std::string::npos || line.empty() || line.front() != '{' || line.back() != '}')
        fail("no result line", describe(slots, status, output));
    bool ok = line.rfind("{\"ok\":true", 0) == 0;
    bool refused = line.rfind("{\"ok\":false,\"code\":\"", 0) == 0;
    if ((status == anchorfs::exit_success) != ok || (status != anchorfs::exit_success) != refused)
        fail("result line and exit status disagree", describe(slots, status, output));
    if (std::string now = list_descriptors(); now != descriptors)
        fail("a descriptor was left open", describe(slots, status, output) + "\nbefore:\n" + descriptors
                                               + "after:\n" + now);
    struct stat directory;
    if (::stat(".", &directory) != 0 || directory.st_ino != s.directory.st_ino
        || directory.st_dev != s.directory.st_dev)
        fail("the working directory changed", describe(slots, status, output));
    if (s.show)
        std::fprintf(stderr, "%s\n", describe(slots, status, line).c_str());
    return 0;
}
