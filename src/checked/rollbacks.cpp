#include "checked/rollbacks.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/checked_moves.hpp"
#include "checked/probes.hpp"

#include <cerrno>
#include <unistd.h>

namespace anchorfs {

bool rollback_renamed_entry(int source_dir, const char* source_name, int destination_dir,
                            const char* destination_name)
{
    struct stat moved;
    if (regular_at(destination_dir, destination_name, moved) != 0)
        return false;
    if (!absent_at(source_dir, source_name))
        return false;
    if (!move_regular_checked(destination_dir, destination_name, source_dir, source_name, moved))
        return false;
    struct stat back;
    if (regular_at(source_dir, source_name, back) != 0 || !same_regular_identity(moved, back)
        || !absent_at(destination_dir, destination_name))
        return false;
    return ::fsync(source_dir) == 0 && ::fsync(destination_dir) == 0;
}

bool rollback_swapped_entries(int a_dir, const char* a_name, int b_dir, const char* b_name)
{
    struct stat a;
    struct stat b;
    if (regular_at(a_dir, a_name, a) != 0 || regular_at(b_dir, b_name, b) != 0)
        return false;
    if (!swap_regular_checked(a_dir, a_name, b_dir, b_name, a, b))
        return false;
    struct stat a_now;
    struct stat b_now;
    if (regular_at(a_dir, a_name, a_now) != 0 || regular_at(b_dir, b_name, b_now) != 0
        || !same_regular_identity(b, a_now) || !same_regular_identity(a, b_now))
        return false;
    return ::fsync(a_dir) == 0 && ::fsync(b_dir) == 0;
}

bool rollback_linked_entry(int source_dir, const char* source_name, int destination_dir,
                           const char* destination_name, int staging_dir, const char* staging_name,
                           int quarantine_dir, const char* quarantine_leaf,
                           const exact_file_description& description)
{
    struct stat source;
    struct stat linked;
    if (regular_at(source_dir, source_name, source) != 0 || regular_at(destination_dir, destination_name, linked) != 0)
        return false;
    if (source.st_dev != linked.st_dev || source.st_ino != linked.st_ino)
        return false;
    if (!move_regular_checked(destination_dir, destination_name, staging_dir, staging_name, linked))
        return false;
    struct stat staged;
    if (regular_at(staging_dir, staging_name, staged) != 0 || !same_regular_identity(linked, staged)
        || !absent_at(destination_dir, destination_name))
        return false;
    // While it is checked the file still has the source link and the staged one.
    exact_file_description with_extra_link = description;
    with_extra_link.identity.link_count = description.identity.link_count + 1;
    if (!delete_regular_content_checked(staging_dir, staging_name, quarantine_dir, quarantine_leaf, with_extra_link))
        return false;
    return ::fsync(destination_dir) == 0 && ::fsync(staging_dir) == 0;
}

bool rollback_created_file(int dir, const char* name, int created_fd)
{
    struct stat created;
    if (::fstat(created_fd, &created) != 0 || !S_ISREG(created.st_mode))
        return false;
    // An exclusive create leaves one link; a second one is a name another
    // process gave the file, and removing ours would not undo the creation.
    if (created.st_nlink != 1)
        return false;
    struct stat named;
    if (regular_at(dir, name, named) != 0 || !same_regular_identity(created, named))
        return false;
    if (!delete_regular_checked(dir, name, created))
        return false;
    return absent_at(dir, name);
}

} // namespace anchorfs
