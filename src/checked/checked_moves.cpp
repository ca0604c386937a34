#include "checked/checked_moves.hpp"

#include "anchor/root_anchor.hpp"
#include "checked/probes.hpp"
#include "platform/rename.hpp"

#include <cerrno>
#include <unistd.h>

namespace anchorfs {

bool move_regular_checked(int from_dir, const char* from_name, int to_dir, const char* to_name,
                          const struct stat& expected)
{
    struct stat source;
    if (regular_at(from_dir, from_name, source) != 0)
        return false;
    if (!same_regular_identity(expected, source))
        return false; // errno unchanged: the caller decides what this means
    if (!absent_at(to_dir, to_name))
        return false;
    if (rename_exclusive(from_dir, from_name, to_dir, to_name) != 0)
        return false;

    struct stat moved;
    bool arrived = regular_at(to_dir, to_name, moved) == 0;
    if (arrived && same_regular_identity(expected, moved) && absent_at(from_dir, from_name))
        return true;
    // Undo while the names still have the shape the rename produced; whatever
    // regular file is at the destination now goes back.
    if (regular_at(to_dir, to_name, moved) == 0 && absent_at(from_dir, from_name))
        rename_exclusive(to_dir, to_name, from_dir, from_name);
    errno = ESTALE;
    return false;
}

bool swap_regular_checked(int a_dir, const char* a_name, int b_dir, const char* b_name,
                          const struct stat& expected_a, const struct stat& expected_b)
{
    struct stat a;
    struct stat b;
    if (regular_at(a_dir, a_name, a) != 0 || regular_at(b_dir, b_name, b) != 0)
        return false;
    if (!same_regular_identity(expected_a, a) || !same_regular_identity(expected_b, b))
        return false; // errno unchanged
    if (rename_swap(a_dir, a_name, b_dir, b_name) != 0)
        return false;

    bool both_regular = regular_at(a_dir, a_name, a) == 0 && regular_at(b_dir, b_name, b) == 0;
    if (both_regular && same_regular_identity(expected_b, a) && same_regular_identity(expected_a, b))
        return true;
    if (regular_at(a_dir, a_name, a) == 0 && regular_at(b_dir, b_name, b) == 0)
        rename_swap(a_dir, a_name, b_dir, b_name);
    errno = ESTALE;
    return false;
}

bool move_directory_checked(int from_dir, const char* from_name, int to_dir, const char* to_name,
                            const struct stat& expected)
{
    struct stat source;
    if (directory_at(from_dir, from_name, source) != 0)
        return false;
    if (!same_directory_identity(expected, source))
        return false; // errno unchanged
    if (!absent_at(to_dir, to_name))
        return false;
    if (rename_exclusive(from_dir, from_name, to_dir, to_name) != 0)
        return false;

    struct stat moved;
    int reason = 0;
    if (directory_at(to_dir, to_name, moved) != 0)
        reason = errno;
    else if (!same_directory_identity(expected, moved))
        reason = ESTALE;
    else if (!absent_at(from_dir, from_name))
        reason = errno;
    else if (::fsync(from_dir) != 0 || ::fsync(to_dir) != 0)
        reason = errno;
    if (reason == 0)
        return true;

    if (directory_at(to_dir, to_name, moved) == 0 && absent_at(from_dir, from_name))
        restore_moved_directory(from_dir, from_name, to_dir, to_name, moved);
    errno = reason;
    return false;
}

void restore_moved_directory(int from_dir, const char* from_name, int to_dir, const char* to_name,
                             const struct stat& moved)
{
    struct stat status;
    if (directory_at(to_dir, to_name, status) != 0 || !same_directory_identity(moved, status))
        return;
    if (!absent_at(from_dir, from_name))
        return;
    if (rename_exclusive(to_dir, to_name, from_dir, from_name) != 0)
        return;
    if (directory_at(from_dir, from_name, status) != 0 || !same_directory_identity(moved, status)
        || !absent_at(to_dir, to_name))
        return;
    if (::fsync(from_dir) == 0)
        ::fsync(to_dir);
}

void restore_regular_after_failed_content_check(int current_dir, const char* current_name, int return_dir,
                                                const char* return_name)
{
    struct stat current;
    if (regular_at(current_dir, current_name, current) != 0)
        return;
    if (!absent_at(return_dir, return_name))
        return;
    move_regular_checked(current_dir, current_name, return_dir, return_name, current);
}

bool move_to_durable_quarantine(int dir, const char* name, int quarantine_dir, const char* quarantine_leaf,
                                const struct stat& expected)
{
    if (!valid_durable_quarantine_leaf(quarantine_leaf))
        return false; // errno unchanged
    if (!same_directory_descriptor(dir, quarantine_dir))
        return false;
    if (!move_regular_checked(dir, name, quarantine_dir, quarantine_leaf, expected))
        return false;
    return ::fsync(dir) == 0 && ::fsync(quarantine_dir) == 0;
}

} // namespace anchorfs
