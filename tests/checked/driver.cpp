// The checked driver: runs one checked function on directories and names given
// on the command line, so that a test can run it under the seam and make a race
// deterministic. Directories are full paths, opened read-only before the call;
// expected status records are given as the five identity slots (device, inode,
// link count, owner uid, mode), descriptions as the eight description slots.
//
//   checked_driver absent DIR NAME
//   checked_driver content-at DIR NAME D8
//   checked_driver recovery-file-at DIR NAME D8
//   checked_driver move-regular FROM_DIR FROM_NAME TO_DIR TO_NAME I5
//   checked_driver swap-regular A_DIR A_NAME B_DIR B_NAME I5(A) I5(B)
//   checked_driver move-directory FROM_DIR FROM_NAME TO_DIR TO_NAME I5
//   checked_driver delete-regular DIR NAME I5
//   checked_driver delete-exact-content DIR NAME D8
//   checked_driver delete-content DIR NAME QUARANTINE_DIR QUARANTINE_LEAF D8
//   checked_driver delete-directory DIR NAME I5
//   checked_driver rollback-renamed SOURCE_DIR SOURCE_NAME DESTINATION_DIR DESTINATION_NAME
//   checked_driver rollback-swapped A_DIR A_NAME B_DIR B_NAME
//   checked_driver rollback-linked SOURCE_DIR SOURCE_NAME DESTINATION_DIR DESTINATION_NAME
//                  STAGING_DIR STAGING_NAME QUARANTINE_DIR QUARANTINE_LEAF D8
//   checked_driver rollback-created DIR NAME   (the file is opened by NAME first)
//
// Prints "RESULT ERRNO" on one line: RESULT is the function's own return value
// (1/0 for truth values, 0/-1 for probes) and ERRNO is errno right after the
// call, which is cleared to 0 before it. Exit status 0 after printing, 2 for a
// malformed command line, 3 when a directory cannot be opened.

#include "checked/checked_deletes.hpp"
#include "checked/checked_moves.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "core/argument_forms.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace anchorfs;

struct command_line {
    std::span<char* const> args; // args[0] is the operation
    std::vector<int> opened;

    ~command_line()
    {
        for (int fd : opened)
            ::close(fd);
    }

    int dir(std::size_t slot)
    {
        int fd = ::open(args[slot], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            std::printf("open %s %d\n", args[slot], errno);
            std::exit(3);
        }
        opened.push_back(fd);
        return fd;
    }

    const char* name(std::size_t slot) const { return args[slot]; }

    // An expected status record carrying just the identity fields the
    // comparisons read.
    struct stat record(std::size_t slot) const
    {
        file_identity identity;
        if (parse_file_identity(args, static_cast<int>(slot), identity) != 0)
            std::exit(2);
        struct stat status;
        std::memset(&status, 0, sizeof status);
        status.st_dev = static_cast<dev_t>(identity.device);
        status.st_ino = static_cast<ino_t>(identity.inode);
        status.st_nlink = static_cast<nlink_t>(identity.link_count);
        status.st_uid = static_cast<uid_t>(identity.owner_uid);
        status.st_mode = static_cast<mode_t>(identity.mode);
        return status;
    }

    // The digest is taken as it stands, so that malformed texts reach the function.
    exact_file_description description(std::size_t slot) const
    {
        exact_file_description d;
        if (parse_file_identity(args, static_cast<int>(slot), d.identity) != 0
            || parse_u64(args[slot + 5], d.size) != 0 || parse_u64(args[slot + 6], d.modified_ns) != 0)
            std::exit(2);
        d.digest = args[slot + 7];
        return d;
    }
};

bool is(const command_line& line, const char* operation, std::size_t slots)
{
    return std::strcmp(line.args[0], operation) == 0 && line.args.size() == slots + 1;
}

int report(int result)
{
    const int error = errno;
    std::printf("%d %d\n", result, error);
    return 0;
}

int run(command_line& c)
{
    if (is(c, "absent", 2)) {
        int dir = c.dir(1);
        errno = 0;
        return report(absent_at(dir, c.name(2)) ? 1 : 0);
    }
    if (is(c, "content-at", 10)) {
        int dir = c.dir(1);
        exact_file_description d = c.description(3);
        errno = 0;
        return report(exact_regular_content_at(dir, c.name(2), d));
    }
    if (is(c, "recovery-file-at", 10)) {
        int dir = c.dir(1);
        exact_file_description d = c.description(3);
        errno = 0;
        return report(exact_recovery_file_at(dir, c.name(2), d));
    }
    if (is(c, "move-regular", 9) || is(c, "move-directory", 9)) {
        int from = c.dir(1);
        int to = c.dir(3);
        struct stat expected = c.record(5);
        errno = 0;
        bool moved = std::strcmp(c.args[0], "move-regular") == 0
                         ? move_regular_checked(from, c.name(2), to, c.name(4), expected)
                         : move_directory_checked(from, c.name(2), to, c.name(4), expected);
        return report(moved ? 1 : 0);
    }
    if (is(c, "swap-regular", 14)) {
        int a = c.dir(1);
        int b = c.dir(3);
        struct stat expected_a = c.record(5);
        struct stat expected_b = c.record(10);
        errno = 0;
        return report(swap_regular_checked(a, c.name(2), b, c.name(4), expected_a, expected_b) ? 1 : 0);
    }
    if (is(c, "delete-regular", 7) || is(c, "delete-directory", 7)) {
        int dir = c.dir(1);
        struct stat expected = c.record(3);
        errno = 0;
        bool deleted = std::strcmp(c.args[0], "delete-regular") == 0 ? delete_regular_checked(dir, c.name(2), expected)
                                                                     : delete_directory_checked(dir, c.name(2), expected);
        return report(deleted ? 1 : 0);
    }
    if (is(c, "delete-exact-content", 10)) {
        int dir = c.dir(1);
        exact_file_description d = c.description(3);
        errno = 0;
        return report(delete_exact_regular_content_checked(dir, c.name(2), d) ? 1 : 0);
    }
    if (is(c, "delete-content", 12)) {
        int dir = c.dir(1);
        int quarantine = c.dir(3);
        exact_file_description d = c.description(5);
        errno = 0;
        return report(delete_regular_content_checked(dir, c.name(2), quarantine, c.name(4), d) ? 1 : 0);
    }
    if (is(c, "rollback-renamed", 4) || is(c, "rollback-swapped", 4)) {
        int first = c.dir(1);
        int second = c.dir(3);
        errno = 0;
        bool undone = std::strcmp(c.args[0], "rollback-renamed") == 0
                          ? rollback_renamed_entry(first, c.name(2), second, c.name(4))
                          : rollback_swapped_entries(first, c.name(2), second, c.name(4));
        return report(undone ? 1 : 0);
    }
    if (is(c, "rollback-linked", 16)) {
        int source = c.dir(1);
        int destination = c.dir(3);
        int staging = c.dir(5);
        int quarantine = c.dir(7);
        exact_file_description d = c.description(9);
        errno = 0;
        return report(rollback_linked_entry(source, c.name(2), destination, c.name(4), staging, c.name(6), quarantine,
                                            c.name(8), d)
                          ? 1
                          : 0);
    }
    if (is(c, "rollback-created", 2)) {
        int dir = c.dir(1);
        int created = ::openat(dir, c.name(2), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (created < 0)
            return 3;
        c.opened.push_back(created);
        errno = 0;
        return report(rollback_created_file(dir, c.name(2), created) ? 1 : 0);
    }
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    int status;
    {
        command_line line{std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1)), {}};
        status = run(line);
    }
    std::fflush(stdout);
    std::exit(status);
}
