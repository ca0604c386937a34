#include "checked/checked_deletes.hpp"

#include "checked/checked_moves.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/directory_open.hpp"
#include "platform/failures.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

constexpr int bound_flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;

using identity_check = bool (*)(const struct stat&, const struct stat&);

// Steps shared by both bindings once the first descriptor is open: the
// descriptor holds the expected object, a reference from its path, the reference's own path equal to it, a second
// descriptor by that full path with the expected identity, a reference from the
// second descriptor's path equal to the first, and the name once more.
bool bind_by_paths(int dir, const char* name, const struct stat& expected, int first_fd, bool want_directory,
                   identity_check same, file_reference& reference)
{
    struct stat held;
    if (descriptor_status_below(first_fd, held) != 0)
        return false;
    if (!same(expected, held))
        return fail_identity_changed();
    // The first descriptor was opened by name below the held directory and is
    // on the root's mount; everything reached by path must be on that mount too.
    std::uint64_t first_mount = 0;
    if (descriptor_mount_id(first_fd, first_mount) != 0)
        return false;
    // Static, like every buffer of a path's size: a run must fit a 64 KiB stack.
    static char first_path[full_path_capacity];
    errno = 0;
    if (descriptor_path(first_fd, first_path) != 0)
        return fail_call_or_stale();
    errno = 0;
    if (file_reference_from_path(first_path, reference) != 0)
        return fail_call_or_stale();
    if (reference.directory() != want_directory || reference.mount_id != first_mount)
        return fail_identity_changed();
    if (!valid_file_reference(reference))
        return false;
    static char reference_path[full_path_capacity];
    if (file_reference_path(reference, reference_path) != 0 || std::strcmp(reference_path, first_path) != 0)
        return fail_identity_changed();

    unique_fd second = want_directory ? open_directory_path(reference_path, O_NONBLOCK)
                                      : unique_fd(::open(reference_path, bound_flags));
    if (!second.valid())
        return false;
    struct stat status;
    mount_place second_place;
    if (status_with_mount(second.get(), "", AT_EMPTY_PATH, status, second_place) != 0)
        return false;
    if (!same(expected, status) || second_place.mount_id != first_mount)
        return fail_identity_changed();
    static char second_path[full_path_capacity];
    errno = 0;
    if (descriptor_path(second.get(), second_path) != 0)
        return fail_call_or_stale();
    file_reference second_reference;
    errno = 0;
    if (file_reference_from_path(second_path, second_reference) != 0)
        return fail_call_or_stale();
    if (second_reference.directory() != want_directory || !same_file_reference(reference, second_reference))
        return fail_identity_changed();
    if (status_below(dir, name, status) != 0)
        return false;
    if (!same(expected, status))
        return fail_identity_changed();
    reference.bound_dir = dir;
    reference.bound_name = name;
    return true;
}

} // namespace

bool bind_regular_fsref_at(int dir, const char* name, const struct stat& expected, file_reference& reference,
                           unique_fd& bound)
{
    unique_fd first(::openat(dir, name, bound_flags));
    if (!first.valid())
        return false;
    file_reference candidate;
    if (!bind_by_paths(dir, name, expected, first.get(), false, same_regular_identity, candidate))
        return false;
    reference = std::move(candidate);
    bound = std::move(first);
    return true;
}

bool finish_delete_by_reference(int dir, const char* name, file_reference& reference, unique_fd& bound)
{
    int deleted = delete_by_reference(reference);
    bound.reset();
    if (deleted != 0) {
        errno = ESTALE;
        return false;
    }
    if (absent_at(dir, name)) {
        return ::fsync(dir) == 0;
    }
    if (errno == EEXIST)
        errno = ESTALE;
    return false;
}

bool delete_regular_checked(int dir, const char* name, const struct stat& expected)
{
    file_reference reference;
    unique_fd bound;
    if (!bind_regular_fsref_at(dir, name, expected, reference, bound))
        return false;
    return finish_delete_by_reference(dir, name, reference, bound);
}

bool delete_exact_regular_content_checked(int dir, const char* name, const exact_file_description& description)
{
    struct stat proven;
    if (exact_recovery_file_at(dir, name, description, &proven) != 0)
        return false;
    file_reference reference;
    unique_fd bound;
    if (!bind_regular_fsref_at(dir, name, proven, reference, bound))
        return false;
    if (exact_regular_content_descriptor(bound.get(), description) != 0)
        return false;
    struct stat reproven;
    if (exact_regular_content_descriptor(bound.get(), description, &reproven) != 0)
        return fail_identity_changed();
    struct stat named;
    if (!same_regular_identity(proven, reproven) || status_below(dir, name, named) != 0
        || !same_regular_identity(proven, named))
        return fail_identity_changed();
    return finish_delete_by_reference(dir, name, reference, bound);
}

bool delete_regular_content_checked(int dir, const char* name, int quarantine_dir, const char* quarantine_leaf,
                                    const exact_file_description& description)
{
    struct stat proven;
    if (exact_recovery_file_at(dir, name, description, &proven) != 0)
        return false;
    // Cleared so that an identity refusal, which leaves errno alone, is not
    // reported under an error left by an earlier successful probe.
    errno = 0;
    if (!move_to_durable_quarantine(dir, name, quarantine_dir, quarantine_leaf, proven))
        return fail_call_or_stale();
    return delete_exact_regular_content_checked(quarantine_dir, quarantine_leaf, description);
}

bool delete_directory_checked(int dir, const char* name, const struct stat& expected)
{
    unique_fd first = open_directory_at(dir, name, O_NONBLOCK);
    if (!first.valid())
        return false;
    file_reference reference;
    if (!bind_by_paths(dir, name, expected, first.get(), true, same_directory_identity, reference))
        return false;
    // Once more immediately before deleting: the descriptor, then the name.
    struct stat status;
    if (descriptor_status_below(first.get(), status) != 0)
        return false;
    if (!same_directory_identity(expected, status))
        return fail_identity_changed();
    if (status_below(dir, name, status) != 0)
        return false;
    if (!same_directory_identity(expected, status))
        return fail_identity_changed();
    errno = 0;
    int deleted = delete_by_reference(reference);
    first.reset();
    if (deleted != 0)
        return fail_call_or_stale();
    if (!absent_at(dir, name))
        return false;
    return ::fsync(dir) == 0;
}

} // namespace anchorfs
