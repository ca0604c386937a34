// Adversarial soak: commands run in a loop while a forked adversary keeps
// changing the tree: it exchanges a directory with a symbolic link to its
// look-alike outside the root and back, puts a look-alike directory with decoy
// files in its place and back, renames files, adds hard links, and rewrites
// content with the same size and modification time. The adversary only ever
// changes a file permanently and detectably (content to upper case, links
// added), so the test knows at the start of each run which files a run may
// delete: only one whose identity and content match what the run was told.
//
// Between runs the adversary is paused at an action boundary (never halfway
// through one) and the test checks: nothing outside the root created,
// changed or removed; no decoy deleted; no file lost a name that the run had
// no right to delete; every file's bytes are its own or its rewritten form;
// every result line well-formed.
//
// ANCHORFS_SOAK_ITERATIONS sets the number of iterations, one command run each
// (the default suits the test suite), and ANCHORFS_SOAK_SEED the seed of both
// the test's and the adversary's choices.

#include "campaign/campaign_support.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <map>
#include <new>
#include <poll.h>
#include <random>
#include <source_location>
#include <sched.h>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>

namespace anchorfs::test::campaign {
namespace {

constexpr std::uint64_t default_iterations = 400;

std::uint64_t environment_number(const char* name, std::uint64_t fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    return std::strtoull(text, nullptr, 10);
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string quarantine_name(std::uint64_t serial)
{
    char hex[33];
    std::snprintf(hex, sizeof hex, "%032llx", static_cast<unsigned long long>(serial));
    return quarantine_prefix + hex;
}

// ---------------------------------------------------------------- adversary

enum action_kind { symlink_swap, lookalike_swap, file_rename, hard_link, rewrite, action_kinds };
const char* const action_names[action_kinds] = {"symlink swaps", "look-alike swaps", "renames", "hard links",
                                                "rewrites"};

// Shared between the test and the adversary (anonymous shared mapping).
struct board {
    std::atomic<std::uint64_t> actions[action_kinds];
    std::atomic<std::uint64_t> decoys_deleted;
    std::atomic<std::uint64_t> own_failures; // the adversary's own steps that failed unexpectedly
    std::atomic<int> first_failure_line;      // where the first of them failed, and with which errno
    std::atomic<int> first_failure_errno;
    // Symbolic links swapped in for a directory that a run then moved away by
    // name (see exchange_back); each such run must have failed.
    std::atomic<std::uint64_t> moved_by_a_run;
    std::atomic<std::uint64_t> links_logged;
    static constexpr std::size_t link_capacity = 1 << 16;
    std::uint64_t linked_inodes[link_capacity];
};

// The adversary works on the top-level directories: files in a, b and p;
// directory exchanges on a, b, p and s. Its own workspace is .adv.
const std::vector<std::string> file_dirs = {"a", "b", "p"};
const std::vector<std::string> swap_dirs = {"a", "b", "p", "s"};

struct adversary {
    std::string root;
    std::string outside;
    board* shared;
    int control_fd;
    int ack_fd;
    std::mt19937_64 rng;
    std::uint64_t serial = 0;
    struct decoy {
        int fd;
        std::string path;
        ino_t inode;
    };
    std::vector<decoy> decoys;
    std::vector<std::string> lookalikes;

    std::string path(const std::string& relative) const { return root + "/" + relative; }
    std::size_t pick(std::size_t count) { return static_cast<std::size_t>(rng() % count); }
    bool chance_of_nested() { return rng() % 3 == 0; }

    void spin()
    {
        for (std::uint64_t n = rng() % 64; n > 0; --n)
            ::sched_yield();
    }

    // The names in `dir` of the entries of one type (S_IFREG, S_IFDIR), links not followed.
    std::vector<std::string> entries_of_type(const std::string& dir, mode_t type) const
    {
        std::vector<std::string> names;
        DIR* listing = ::opendir(path(dir).c_str());
        if (listing == nullptr)
            return names;
        while (struct dirent* d = ::readdir(listing)) {
            struct stat status;
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0
                && ::fstatat(::dirfd(listing), d->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0
                && (status.st_mode & S_IFMT) == type)
                names.emplace_back(d->d_name);
        }
        ::closedir(listing);
        return names;
    }

    std::vector<std::string> regular_files(const std::string& dir, bool decoy_names_only = false) const
    {
        std::vector<std::string> names = entries_of_type(dir, S_IFREG);
        if (decoy_names_only)
            std::erase_if(names, [](const std::string& name) {
                return name.size() < 2 || name[0] != 'f' || !std::isdigit(static_cast<unsigned char>(name[1]));
            });
        return names;
    }

    void failed(std::source_location where = std::source_location::current())
    {
        if (shared->own_failures.fetch_add(1) == 0) {
            shared->first_failure_errno.store(errno);
            shared->first_failure_line.store(static_cast<int>(where.line()));
        }
    }

    // An exchange of the directory at `dir` with `other` (below the root),
    // and the exchange back. The back step goes through a descriptor of the
    // directory's parent, which a run may have renamed meanwhile (a tree that
    // was quarantined with the swapped subdirectory in it). It must succeed.
    struct exchange {
        int parent = -1;
        std::string leaf;
        std::string other;
        ~exchange()
        {
            if (parent >= 0)
                ::close(parent);
        }
    };

    bool exchange_with(const std::string& dir, const std::string& other, exchange& done)
    {
        const std::size_t slash = dir.rfind('/');
        const std::string parent = slash == std::string::npos ? root : path(dir.substr(0, slash));
        done.leaf = slash == std::string::npos ? dir : dir.substr(slash + 1);
        done.other = other;
        done.parent = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        return done.parent >= 0
               && ::renameat2(done.parent, done.leaf.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) == 0;
    }

    // A rename names its source, it cannot say which object it means: a run
    // that checked a directory and then renamed it (a tree quarantine) can
    // move the link swapped in at that moment instead, and must then fail its
    // post-check. The name is then free and the directory goes back to it.
    void exchange_back(const exchange& done)
    {
        if (::renameat2(done.parent, done.leaf.c_str(), AT_FDCWD, done.other.c_str(), RENAME_EXCHANGE) == 0)
            return;
        struct stat status;
        if (errno == ENOENT && ::fstatat(done.parent, done.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0
            && errno == ENOENT
            && ::renameat2(AT_FDCWD, done.other.c_str(), done.parent, done.leaf.c_str(), RENAME_NOREPLACE) == 0) {
            shared->moved_by_a_run.fetch_add(1);
            return;
        }
        failed();
    }

    // The private trees in p and their subdirectories, which runs create,
    // quarantine and remove.
    std::vector<std::string> nested_dirs() const
    {
        std::vector<std::string> dirs;
        for (const std::string& top : directories("p"))
            if (top.rfind("p/tree", 0) == 0 || top.rfind("p/q", 0) == 0) {
                dirs.push_back(top);
                for (const std::string& below_top : directories(top))
                    dirs.push_back(below_top);
            }
        return dirs;
    }

    std::vector<std::string> directories(const std::string& dir) const
    {
        std::vector<std::string> names = entries_of_type(dir, S_IFDIR);
        for (std::string& name : names)
            name = dir + "/" + name;
        return names;
    }

    // A top-level directory, or one of a private tree, changes places with a
    // symbolic link to a look-alike outside the root, and back.
    void swap_with_symlink()
    {
        std::string dir = swap_dirs[pick(swap_dirs.size())];
        std::string target = outside + "/" + dir;
        if (chance_of_nested()) {
            std::vector<std::string> nested = nested_dirs();
            if (!nested.empty()) {
                dir = nested[pick(nested.size())];
                target = outside + "/p";
            }
        }
        const std::string link = path(".adv/sym-" + std::to_string(++serial));
        if (::symlink(target.c_str(), link.c_str()) != 0)
            return failed();
        exchange swapped;
        if (!exchange_with(dir, link, swapped)) {
            // A tree that a run has just removed or quarantined is gone.
            if (errno != ENOENT || dir.find('/') == std::string::npos)
                failed();
            ::unlink(link.c_str());
            return;
        }
        spin();
        exchange_back(swapped);
        struct stat status;
        if (::lstat(link.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
            ::unlink(link.c_str());
        shared->actions[symlink_swap].fetch_add(1);
    }

    // A directory with the same mode and, for some of the files, decoys of the
    // same name: the same bytes in a and b (only the inode tells them apart),
    // different bytes of the same size in p (private removal goes by content).
    void swap_with_lookalike()
    {
        const std::string dir = swap_dirs[pick(swap_dirs.size())];
        struct stat original;
        if (::lstat(path(dir).c_str(), &original) != 0)
            return failed();
        const std::string look = path(".adv/look-" + std::to_string(++serial));
        if (::mkdir(look.c_str(), original.st_mode & 07777) != 0 || ::chmod(look.c_str(), original.st_mode & 07777) != 0)
            return failed();
        lookalikes.push_back(look);
        std::vector<std::string> names = regular_files(dir, true);
        std::shuffle(names.begin(), names.end(), rng);
        names.resize(std::min<std::size_t>(names.size(), 3));
        for (const std::string& name : names) {
            int source = ::open(path(dir + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (source < 0)
                continue;
            struct stat status;
            std::string content(static_cast<std::size_t>(::fstat(source, &status) == 0 ? status.st_size : 0), '\0');
            ssize_t got = content.empty() ? 0 : ::pread(source, content.data(), content.size(), 0);
            ::close(source);
            if (got != static_cast<ssize_t>(content.size()))
                continue;
            if (dir == "p" && !content.empty())
                content[0] = '#';
            const std::string decoy_path = look + "/" + name;
            int fd = ::open(decoy_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 07777);
            if (fd < 0)
                continue;
            if (::pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())
                || ::fchmod(fd, status.st_mode & 07777) != 0 || ::fstat(fd, &status) != 0) {
                ::close(fd);
                failed();
                continue;
            }
            decoys.push_back({fd, decoy_path, status.st_ino});
        }
        exchange swapped;
        if (!exchange_with(dir, look, swapped))
            return failed();
        spin();
        exchange_back(swapped);
        shared->actions[lookalike_swap].fetch_add(1);
    }

    bool pick_file(std::string& relative)
    {
        const std::string dir = file_dirs[pick(file_dirs.size())];
        std::vector<std::string> names = regular_files(dir);
        if (names.empty())
            return false;
        relative = dir + "/" + names[pick(names.size())];
        return true;
    }

    void rename_file()
    {
        std::string from;
        if (!pick_file(from))
            return;
        const std::string to = file_dirs[pick(file_dirs.size())] + "/adv-mv-" + std::to_string(++serial);
        if (::renameat2(AT_FDCWD, path(from).c_str(), AT_FDCWD, path(to).c_str(), RENAME_NOREPLACE) == 0)
            shared->actions[file_rename].fetch_add(1);
    }

    // A second name for a file that has one.
    void link_file()
    {
        std::string from;
        struct stat before;
        if (!pick_file(from) || ::lstat(path(from).c_str(), &before) != 0 || before.st_nlink != 1)
            return;
        const std::string to = from.substr(0, from.find('/')) + "/adv-ln-" + std::to_string(++serial);
        if (::link(path(from).c_str(), path(to).c_str()) != 0)
            return;
        struct stat status;
        if (::lstat(path(to).c_str(), &status) != 0)
            return failed();
        std::uint64_t slot = shared->links_logged.load();
        if (slot < board::link_capacity) {
            shared->linked_inodes[slot] = status.st_ino;
            shared->links_logged.store(slot + 1);
        }
        shared->actions[hard_link].fetch_add(1);
    }

    // Upper case, written in place, then the old times put back: the same size
    // and modification time, only the digest tells.
    void rewrite_file()
    {
        std::string relative;
        if (!pick_file(relative))
            return;
        int fd = ::open(path(relative).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        struct stat status;
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 && status.st_size < (1 << 20)) {
            std::string content(static_cast<std::size_t>(status.st_size), '\0');
            if (::pread(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size())) {
                std::string changed = upper(content);
                if (changed != content) {
                    const struct timespec times[2] = {status.st_atim, status.st_mtim};
                    if (::pwrite(fd, changed.data(), changed.size(), 0) == static_cast<ssize_t>(changed.size())
                        && ::futimens(fd, times) == 0)
                        shared->actions[rewrite].fetch_add(1);
                    else
                        failed();
                }
            }
        }
        ::close(fd);
    }

    // At a pause: every decoy must still have its name; then the workspace is cleared.
    void settle_for_pause()
    {
        for (const decoy& d : decoys) {
            struct stat status;
            if (::fstat(d.fd, &status) != 0 || status.st_nlink == 0)
                shared->decoys_deleted.fetch_add(1);
            struct stat named;
            if (::lstat(d.path.c_str(), &named) == 0 && named.st_ino == d.inode)
                ::unlink(d.path.c_str());
            ::close(d.fd);
        }
        decoys.clear();
        for (const std::string& look : lookalikes)
            ::rmdir(look.c_str()); // stays when a run created something in it
        lookalikes.clear();
    }

    char wait_for_command()
    {
        char command = 'q';
        while (::read(control_fd, &command, 1) < 0 && errno == EINTR) {
        }
        return command;
    }

    bool pause_requested()
    {
        struct pollfd poll_fd {control_fd, POLLIN, 0};
        return ::poll(&poll_fd, 1, 0) > 0;
    }

    [[noreturn]] void run()
    {
        for (;;) {
            // Paused: acknowledge, then wait to be resumed or ended.
            settle_for_pause();
            char ack = 'a';
            if (::write(ack_fd, &ack, 1) != 1 || wait_for_command() != 'r')
                ::_exit(0);
            // Mostly exchanges, which are undone at once; the lasting changes
            // less often, so that the tree keeps files the runs may act on.
            while (!pause_requested()) {
                const std::uint64_t roll = rng() % 100;
                if (roll < 30)
                    swap_with_symlink();
                else if (roll < 60)
                    swap_with_lookalike();
                else if (roll < 75)
                    rename_file();
                else if (roll < 85)
                    link_file();
                else
                    rewrite_file();
            }
            char request;
            if (::read(control_fd, &request, 1) != 1 || request != 'p')
                ::_exit(0);
        }
    }
};

// The test's end of the adversary: started paused; pause() returns once it
// stands still between two actions.
class adversary_process {
public:
    board* shared = nullptr;

    adversary_process(const std::string& root, const std::string& outside, std::uint64_t seed)
    {
        void* memory = ::mmap(nullptr, sizeof(board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            throw std::runtime_error("mmap");
        shared = new (memory) board{};
        int control[2];
        int ack[2];
        if (::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(ack, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
        pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork");
        if (pid == 0) {
            ::close(control[1]);
            ::close(ack[0]);
            adversary a{root, outside, shared, control[0], ack[1], std::mt19937_64(seed ^ 0x5eedULL), 0, {}, {}};
            a.run();
        }
        ::close(control[0]);
        ::close(ack[1]);
        control_fd = control[1];
        ack_fd = ack[0];
        wait_for_ack();
    }
    ~adversary_process()
    {
        if (pid > 0) {
            char quit = 'q';
            [[maybe_unused]] ssize_t ignored = ::write(control_fd, &quit, 1);
            ::close(control_fd);
            int status;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            ::close(ack_fd);
        }
        if (shared != nullptr)
            ::munmap(shared, sizeof(board));
    }
    adversary_process(const adversary_process&) = delete;
    adversary_process& operator=(const adversary_process&) = delete;

    void resume() { send('r'); }
    void pause()
    {
        send('p');
        wait_for_ack();
    }

private:
    pid_t pid = -1;
    int control_fd = -1;
    int ack_fd = -1;

    void send(char c)
    {
        if (::write(control_fd, &c, 1) != 1)
            throw std::runtime_error("adversary control pipe");
    }
    void wait_for_ack()
    {
        char c;
        ssize_t n;
        while ((n = ::read(ack_fd, &c, 1)) < 0 && errno == EINTR) {
        }
        if (n != 1)
            throw std::runtime_error("the adversary ended");
    }
};

// ---------------------------------------------------------------- the test's files

struct tracked {
    int fd = -1;
    std::string original;
    nlink_t links = 0;       // at the last pause
    std::string content;     // at the last pause
    std::vector<std::string> names; // at the last pause, outside .adv
};

struct registry {
    std::string root;
    std::map<ino_t, tracked> files;

    ~registry()
    {
        for (auto& [inode, t] : files)
            ::close(t.fd);
    }

    static std::string read_fd(int fd, off_t size)
    {
        std::string content(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        ssize_t got = content.empty() ? 0 : ::pread(fd, content.data(), content.size(), 0);
        content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return content;
    }

    // With the adversary paused: every regular file below the root outside
    // .adv is tracked (new ones from now on), with its names, links and bytes.
    void scan()
    {
        for (auto& [inode, t] : files)
            t.names.clear();
        tree now = snapshot(root, ".adv");
        for (const auto& [path, e] : now) {
            if (e.type != 'f')
                continue;
            auto it = files.find(e.inode);
            if (it == files.end()) {
                int fd = ::open((root + "/" + path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
                struct stat status;
                if (fd < 0 || ::fstat(fd, &status) != 0 || status.st_ino != e.inode) {
                    if (fd >= 0)
                        ::close(fd);
                    continue;
                }
                it = files.emplace(e.inode, tracked{fd, e.content, 0, {}, {}}).first;
            }
            it->second.names.push_back(path);
        }
        for (auto it = files.begin(); it != files.end();) {
            struct stat status;
            if (::fstat(it->second.fd, &status) != 0 || status.st_nlink == 0) {
                ::close(it->second.fd);
                it = files.erase(it);
                continue;
            }
            it->second.links = status.st_nlink;
            it->second.content = read_fd(it->second.fd, status.st_size);
            ++it;
        }
    }

    std::vector<std::pair<ino_t, std::string>> named_in(const std::string& dir) const
    {
        std::vector<std::pair<ino_t, std::string>> found;
        for (const auto& [inode, t] : files)
            for (const std::string& name : t.names)
                if (name.rfind(dir + "/", 0) == 0 && name.find('/', dir.size() + 1) == std::string::npos)
                    found.emplace_back(inode, name);
        return found;
    }
};

// ---------------------------------------------------------------- one run

enum class shape { plain, directory, size, bookmark };

struct planned_run {
    std::string command;
    std::vector<std::string> rest;
    std::string input;
    shape success = shape::plain;
    std::set<ino_t> may_lose_a_name; // a run may delete one name of each
    ino_t link_source = 0;           // may gain one name
    // Bookmarked parents (directory, leaf) taken with bookmark-parent runs
    // right before the run, as its first slots.
    std::vector<std::pair<std::string, std::string>> groups;
};

class soak {
public:
    soak(std::uint64_t seed) : rng(seed)
    {
        for (const char* dir : {"a", "b", "s"})
            s.dir(dir);
        s.dir("p", 0700);
        s.dir(".adv", 0700);
        // Look-alikes outside: the symbolic links' targets, holding files with
        // the names the runs use inside.
        for (const std::string dir : {"a", "b", "p", "s"}) {
            if (!exists(s.outside + "/" + dir))
                make_dir(s.outside + "/" + dir);
            for (int i = 0; i < 12; ++i)
                write_file(s.outside + "/" + dir + "/f" + std::to_string(i), "lure outside " + dir + "\n", 0600);
        }
        s.outside_before = s.outside_now();
        files.root = s.root.path;
        populate();
        files.scan();
    }

    scene s;
    registry files;
    std::mt19937_64 rng;
    std::uint64_t serial = 0;
    std::map<std::string, std::map<std::string, int>> outcomes; // command -> outcome -> runs
    long long runs = 0;

    std::size_t pick(std::size_t count) { return static_cast<std::size_t>(rng() % count); }
    bool chance(unsigned percent) { return rng() % 100 < percent; }

    // Keeps three files with a single name in each of a, b and p, written by
    // the test itself.
    void populate()
    {
        for (const std::string& dir : file_dirs) {
            std::size_t single = 0;
            for (const auto& [inode, name] : files.named_in(dir))
                single += files.files.at(inode).links == 1 ? 1 : 0;
            for (; single < 3; ++single) {
                const std::string name = dir + "/f" + std::to_string(++serial);
                s.file(name, "file " + std::to_string(serial) + " of the soak, in " + dir + "\n",
                       dir == "p" ? 0600 : 0644);
            }
        }
    }

    // A file named in `dir`; mostly one with a single name when files with
    // more are not what the run is meant for (private files, reads, deletes),
    // so that such runs have something to act on besides refusals.
    bool pick_file(const std::string& dir, ino_t& inode, std::string& name, bool mostly_single = false)
    {
        auto candidates = files.named_in(dir);
        if (mostly_single && chance(70)) {
            std::vector<std::pair<ino_t, std::string>> single;
            for (const auto& candidate : candidates)
                if (files.files.at(candidate.first).links == 1)
                    single.push_back(candidate);
            if (!single.empty())
                candidates = single;
        }
        if (candidates.empty())
            return false;
        std::tie(inode, name) = candidates[pick(candidates.size())];
        return true;
    }

    // Eight description slots of a tracked file: as it is now, or with the
    // digest of its first content and the link count it had when made.
    std::vector<std::string> describe(ino_t inode, const std::string& name, bool stale, bool& accurate)
    {
        const tracked& t = files.files.at(inode);
        struct stat status;
        if (::fstat(t.fd, &status) != 0)
            throw std::runtime_error("fstat tracked file");
        const nlink_t links = stale ? 1 : t.links;
        const std::string& content = stale ? t.original : t.content;
        accurate = links == t.links && content == t.content;
        (void)name;
        const unsigned long long modified =
            static_cast<unsigned long long>(status.st_mtim.tv_sec) * 1000000000ULL + status.st_mtim.tv_nsec;
        return {std::to_string(status.st_dev), std::to_string(status.st_ino), std::to_string(links),
                std::to_string(status.st_uid), std::to_string(status.st_mode), std::to_string(content.size()),
                std::to_string(modified), sha256_hex(content)};
    }

    std::vector<std::string> identity(ino_t inode, bool stale)
    {
        bool accurate;
        std::vector<std::string> slots = describe(inode, "", stale, accurate);
        slots.resize(5);
        return slots;
    }

    planned_run plan()
    {
        const std::uint64_t k = ++serial;
        const std::string n = std::to_string(k);
        planned_run p;
        ino_t inode = 0;
        ino_t other = 0;
        std::string name;
        std::string other_name;
        const std::string plain_dir = chance(50) ? "a" : "b";
        switch (pick(16)) {
        case 0:
            p.command = "create-file";
            p.input = "created by run " + n + " of the soak\n";
            p.rest = {plain_dir + "/c" + n, "420", std::to_string(p.input.size())};
            return p;
        case 1:
            p.command = "create-private-file";
            p.input = "private, created by run " + n + "\n";
            p.rest = {"p/c" + n, std::to_string(p.input.size())};
            return p;
        case 2:
            p.command = "create-private-file-staged";
            p.input = "staged by run " + n + "\n";
            p.rest = {"p/c" + n, "p/stage" + n, std::to_string(p.input.size())};
            return p;
        case 3:
            if (!pick_file(file_dirs[pick(3)], inode, name))
                break;
            p.command = "rename-excl";
            p.rest = join({{name, plain_dir + "/r" + n}, identity(inode, chance(20))});
            return p;
        case 4:
            if (!pick_file(file_dirs[pick(3)], inode, name) || !pick_file(file_dirs[pick(3)], other, other_name)
                || inode == other)
                break;
            p.command = "rename-swap";
            p.rest = join({{name, other_name}, identity(inode, false), identity(other, chance(20))});
            return p;
        case 5: {
            if (!pick_file(file_dirs[pick(3)], inode, name))
                break;
            bool accurate;
            p.command = "link-excl";
            p.rest = join({{name, plain_dir + "/l" + n, "s/ls" + n, "s/" + quarantine_name(k)},
                           describe(inode, name, chance(20), accurate)});
            p.link_source = inode;
            return p;
        }
        case 6:
        case 7: {
            if (!pick_file(file_dirs[pick(3)], inode, name, true))
                break;
            bool accurate;
            p.command = "unlink-checked";
            p.rest = join({{name, "s/u" + n, "s/" + quarantine_name(k)}, describe(inode, name, chance(30), accurate)});
            if (accurate)
                p.may_lose_a_name.insert(inode);
            return p;
        }
        case 8: {
            if (!pick_file("p", inode, name, true))
                break;
            const tracked& t = files.files.at(inode);
            const std::string& content = chance(30) ? t.original : t.content;
            p.command = "remove-private-file";
            p.rest = {name, std::to_string(content.size()), sha256_hex(content)};
            if (content == t.content && t.links == 1)
                p.may_lose_a_name.insert(inode);
            return p;
        }
        case 9: {
            // A fresh private tree, or one that an earlier run quarantined.
            std::string top = "p/tree" + n;
            if (chance(50)) {
                s.dir(top, 0700);
                s.file(top + "/x", "tree file x of run " + n + "\n", 0600);
                s.dir(top + "/sub", 0700);
                s.file(top + "/sub/y", "tree file y of run " + n + "\n", 0600);
                files.scan();
            } else if (!pick_tree("p/q", top)) {
                break;
            }
            p.command = "remove-private-tree";
            p.rest = {top, "4096", "16"};
            for (const auto& [file_inode, t] : files.files) {
                bool inside = !t.names.empty() && t.links == 1;
                for (const std::string& file_name : t.names)
                    inside = inside && below(file_name, top);
                if (inside)
                    p.may_lose_a_name.insert(file_inode);
            }
            return p;
        }
        case 10: {
            std::string top;
            if (!pick_tree("p/tree", top)) {
                top = "p/tree" + n;
                s.dir(top, 0700);
                s.file(top + "/x", "tree file x of run " + n + "\n", 0600);
                files.scan();
            }
            p.command = "quarantine-private-tree";
            p.rest = {top, "p/q" + n};
            return p;
        }
        case 11:
            p.command = chance(50) ? "ensure-dir" : "ensure-private-dir";
            p.rest = {(p.command == "ensure-dir" ? plain_dir : std::string("p")) + "/dir" + n};
            p.success = shape::directory;
            return p;
        case 12: {
            if (chance(50)) {
                if (!pick_file("p", inode, name, true))
                    break;
                p.command = "read-private-file";
                p.rest = {name, "100000"};
            } else {
                if (!pick_file(plain_dir, inode, name, true))
                    break;
                struct stat parent = lstat_of(s.at(plain_dir));
                p.command = "read-external-file";
                p.rest = {name, "100000", std::to_string(parent.st_dev), std::to_string(parent.st_ino),
                          std::to_string(parent.st_uid)};
            }
            p.success = shape::size;
            return p;
        }
        case 13: {
            // A staging leftover of an earlier staged creation, if there is one.
            auto in_p = files.named_in("p");
            std::vector<std::pair<ino_t, std::string>> leftovers;
            for (const auto& candidate : in_p)
                if (candidate.second.rfind("p/stage", 0) == 0)
                    leftovers.push_back(candidate);
            p.command = "remove-private-staging-file";
            if (leftovers.empty()) {
                p.rest = {"p/stage" + n, "4096"};
                return p;
            }
            std::tie(inode, name) = leftovers[pick(leftovers.size())];
            p.rest = {name, "4096"};
            if (files.files.at(inode).links == 1)
                p.may_lose_a_name.insert(inode);
            return p;
        }
        case 14: {
            // The whole unlink left to the recovery, the file still at its name.
            if (!pick_file(file_dirs[pick(3)], inode, name, true))
                break;
            bool accurate;
            p.command = "recover-unlink";
            p.groups = {{name.substr(0, name.find('/')), name.substr(name.find('/') + 1)},
                        {"s", "ru" + n},
                        {"s", quarantine_name(k)}};
            p.rest = describe(inode, name, chance(30), accurate);
            if (accurate)
                p.may_lose_a_name.insert(inode);
            return p;
        }
        default:
            p.command = "bookmark-parent";
            p.rest = {file_dirs[pick(3)] + "/anything"};
            p.success = shape::bookmark;
            return p;
        }
        // Nothing suitable to act on: make something.
        p.command = "create-file";
        p.input = "created by run " + n + " of the soak\n";
        p.rest = {plain_dir + "/c" + n, "420", std::to_string(p.input.size())};
        return p;
    }

    bool pick_tree(const std::string& prefix, std::string& top)
    {
        std::vector<std::string> trees;
        for (const auto& [path, e] : snapshot(s.root.path, ".adv"))
            if (e.type == 'd' && path.rfind(prefix, 0) == 0 && path.find('/', 2) == std::string::npos)
                trees.push_back(path);
        if (trees.empty())
            return false;
        top = trees[pick(trees.size())];
        return true;
    }

    testing::AssertionResult well_formed(const planned_run& p, const run_result& r, std::string& outcome)
    {
        if (r.exit_code != 0) {
            return well_formed_failure(r, &outcome, p.success == shape::size);
        }
        outcome = "ok";
        if (!r.err.empty() || r.signal != 0)
            return testing::AssertionFailure() << "success with standard error or a signal";
        std::smatch match;
        switch (p.success) {
        case shape::plain:
            return exact_output(r, plain_line, 0);
        case shape::directory:
            if (std::regex_match(r.out, match, std::regex(R"re(\{"ok":true,"device":"[0-9]+","inode":"[0-9]+","uid":"[0-9]+","mode":"[0-9]+"\}\n)re")))
                return testing::AssertionSuccess();
            return testing::AssertionFailure() << "no directory line: " << r.out;
        case shape::bookmark:
            if (std::regex_match(r.out, match, bookmark_line_pattern))
                return testing::AssertionSuccess();
            return testing::AssertionFailure() << "no bookmark line: " << r.out;
        case shape::size:
            if (std::regex_search(r.out, match, size_line_pattern)) {
                const std::string bytes = r.out.substr(static_cast<std::size_t>(match[0].length()));
                if (bytes.size() != std::stoull(match[1].str()))
                    return testing::AssertionFailure() << "size line and bytes disagree";
                if (bytes.rfind("lure", 0) == 0)
                    return testing::AssertionFailure() << "read a file outside the root";
                return testing::AssertionSuccess();
            }
            return testing::AssertionFailure() << "no size line: " << r.out.substr(0, 100);
        }
        return testing::AssertionFailure() << "unknown shape";
    }

    // After a run, with the adversary paused again.
    void check(const planned_run& p, const std::map<ino_t, std::uint64_t>& added_by_adversary)
    {
        const std::string what = p.command + " " + testing::PrintToString(p.rest);
        EXPECT_TRUE(s.outside_untouched()) << what;
        for (const auto& [inode, t] : files.files) {
            struct stat status;
            ASSERT_EQ(::fstat(t.fd, &status), 0);
            auto added = added_by_adversary.find(inode);
            const long long net = static_cast<long long>(status.st_nlink) - static_cast<long long>(t.links)
                                  - static_cast<long long>(added == added_by_adversary.end() ? 0 : added->second);
            const long long lowest = p.may_lose_a_name.count(inode) != 0 ? -1 : 0;
            const long long highest = p.link_source == inode ? 1 : 0;
            EXPECT_TRUE(net >= lowest && net <= highest)
                << what << ": file " << inode << " named " << testing::PrintToString(t.names) << " went from "
                << t.links << " to " << status.st_nlink << " links (" << net << " by the run)";
            if (status.st_nlink > 0) {
                const std::string content = registry::read_fd(t.fd, status.st_size);
                EXPECT_TRUE(content == t.original || content == upper(t.original))
                    << what << ": file " << inode << " holds bytes that are neither its own nor its rewritten form";
            }
        }
    }

    void one_iteration(adversary_process& adversary)
    {
        populate();
        files.scan();
        planned_run p = plan();
        const std::uint64_t links_before = adversary.shared->links_logged.load();

        adversary.resume();
        std::vector<std::string> groups;
        for (const auto& [dir, leaf] : p.groups) {
            planned_run bookmark{"bookmark-parent", {dir + "/" + leaf}, {}, shape::bookmark, {}, 0, {}};
            run_result r = s.run(bookmark.command, bookmark.rest);
            ++runs;
            std::string outcome;
            EXPECT_TRUE(well_formed(bookmark, r, outcome)) << "bookmark-parent " << dir;
            ++outcomes[bookmark.command][outcome.empty() ? "malformed" : outcome];
            std::smatch match;
            if (outcome != "ok" || !std::regex_match(r.out, match, bookmark_line_pattern))
                break;
            groups.insert(groups.end(), {match[1], match[2], match[3], match[4], dir, leaf});
        }
        if (groups.size() == 6 * p.groups.size()) {
            run_options options;
            options.stdin_data = p.input;
            const std::uint64_t moved_before = adversary.shared->moved_by_a_run.load();
            run_result r = s.run(p.command, join({groups, p.rest}), options);
            adversary.pause();
            ++runs;
            std::string outcome;
            EXPECT_TRUE(well_formed(p, r, outcome)) << p.command << " " << testing::PrintToString(p.rest);
            if (adversary.shared->moved_by_a_run.load() != moved_before) {
                EXPECT_NE(outcome, "ok") << p.command << " moved the link swapped in for a directory and succeeded";
            }
            ++outcomes[p.command][outcome.empty() ? "malformed" : outcome];
        } else {
            adversary.pause();
            ++outcomes[p.command]["not run: a bookmark was refused"];
            p.may_lose_a_name.clear();
        }

        std::map<ino_t, std::uint64_t> added;
        const std::uint64_t links_after = adversary.shared->links_logged.load();
        for (std::uint64_t i = links_before; i < links_after && i < board::link_capacity; ++i)
            ++added[static_cast<ino_t>(adversary.shared->linked_inodes[i])];
        check(p, added);
    }
};

TEST(SoakCampaign, AdversaryChangesTreeWhileCommandsRun_NothingOutsideTouchedNoUndescribedFileDeleted)
{
    const std::uint64_t iterations = environment_number("ANCHORFS_SOAK_ITERATIONS", default_iterations);
    const std::uint64_t seed = environment_number("ANCHORFS_SOAK_SEED", 1);
    SCOPED_TRACE("seed " + std::to_string(seed));

    soak run(seed);
    adversary_process adversary(run.s.root.path, run.s.outside, seed);
    std::uint64_t done = 0;
    while (done < iterations) {
        run.one_iteration(adversary);
        ++done;
        if (HasFailure())
            break; // the first broken invariant is the one worth reading
    }
    EXPECT_EQ(adversary.shared->decoys_deleted.load(), 0u) << "decoys deleted";
    EXPECT_EQ(adversary.shared->own_failures.load(), 0u)
        << "adversary steps that failed; the first at line " << adversary.shared->first_failure_line.load()
        << " of " << __FILE__ << " with errno " << adversary.shared->first_failure_errno.load();
    EXPECT_TRUE(run.s.outside_untouched());

    record_count("soak", "all", "seed", static_cast<long long>(seed));
    record_count("soak", "all", "iterations", static_cast<long long>(done));
    record_count("soak", "all", "runs", run.runs);
    record_count("soak", "all", "files tracked at the end", static_cast<long long>(run.files.files.size()));
    record_count("soak", "all", "entries below the root at the end", static_cast<long long>(run.s.now().size()));
    for (int kind = 0; kind < action_kinds; ++kind)
        record_count("soak", "adversary", action_names[kind],
                     static_cast<long long>(adversary.shared->actions[kind].load()));
    record_count("soak", "adversary", "swapped-in links moved by a failing run",
                 static_cast<long long>(adversary.shared->moved_by_a_run.load()));
    for (const auto& [command, counts] : run.outcomes)
        for (const auto& [outcome, count] : counts)
            record_count("soak", command, "outcome " + outcome, count);
}

} // namespace
} // namespace anchorfs::test::campaign
