#include "checked/checked_deletes.hpp"

#include "checked/checked_moves.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/failures.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// A bound descriptor is opened only through the reference's own descriptor,
// once the reference showed a regular file (or a directory): read-only and
// never waiting.
constexpr int bound_regular_flags = O_RDONLY | O_NONBLOCK;
constexpr int bound_directory_flags = O_RDONLY | O_NONBLOCK | O_DIRECTORY;

using identity_check = bool (*)(const struct stat&, const struct stat&);

// The binding from its reference on: `candidate` was taken by the name and
// shown to have the expected identity.
bool bind_held_at(int dir, const char* name, const struct stat& expected, bool want_directory, identity_check same,
                  file_reference& candidate, file_reference& reference, unique_fd& bound, struct stat& named)
{
    // Static, like every buffer of a path's size: a run must fit a 64 KiB stack.
    static char reference_path[full_path_capacity];
    errno = 0;
    if (file_reference_path(candidate, reference_path) != 0)
        return fail_call_or_stale();
    // The type is proven through the held descriptor and an object keeps its
    // type, so this opens a regular file or a directory and nothing else.
    unique_fd opened = reopen_through_descriptor(candidate.object.get(),
                                                 want_directory ? bound_directory_flags : bound_regular_flags);
    if (!opened.valid())
        return false;
    struct stat status;
    mount_place place;
    if (status_with_mount(opened.get(), "", AT_EMPTY_PATH, status, place) != 0)
        return false;
    if (!same(expected, status) || place.mount_id != candidate.mount_id)
        return fail_identity_changed();
    static char bound_path[full_path_capacity];
    errno = 0;
    if (descriptor_path(opened.get(), bound_path) != 0)
        return fail_call_or_stale();
    if (std::strcmp(bound_path, reference_path) != 0)
        return fail_identity_changed();
    if (status_below(dir, name, named) != 0)
        return false;
    if (!same(expected, named))
        return fail_identity_changed();
    candidate.bound_dir = dir;
    candidate.bound_name = name;
    reference = std::move(candidate);
    bound = std::move(opened);
    return true;
}

// Binds a reference and a bound descriptor to the entry, by routes that all
// start at the held directory and its one name or at a descriptor already
// held, never at a path the kernel would walk again: a reference by the name
// (not a mount point, nothing opened for reading) with the expected identity;
// its path, read to prove it readable and short enough, never opened; the
// bound descriptor, reopened through the reference's own entry in the proven
// descriptor table, with the expected identity on the reference's mount and
// the reference's path; and the name once more, whose status goes to `named`.
bool bind_at(int dir, const char* name, const struct stat& expected, bool want_directory, identity_check same,
             file_reference& reference, unique_fd& bound, struct stat& named)
{
    file_reference candidate;
    struct stat status;
    if (file_reference_at(dir, name, candidate, &status) != 0)
        return false;
    if (S_ISLNK(status.st_mode)) {
        errno = ELOOP;
        return false;
    }
    if (want_directory && !S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    if (!same(expected, status))
        return fail_identity_changed();
    return bind_held_at(dir, name, expected, want_directory, same, candidate, reference, bound, named);
}

} // namespace

bool bind_regular_fsref_at(int dir, const char* name, const struct stat& expected, file_reference& reference,
                           unique_fd& bound, struct stat* named)
{
    struct stat last;
    if (!bind_at(dir, name, expected, false, same_regular_identity, reference, bound, last))
        return false;
    if (named != nullptr)
        *named = last;
    return true;
}

bool finish_delete_by_reference(int dir, const char* name, file_reference& reference, unique_fd& bound,
                                const struct stat& named)
{
    int deleted = delete_by_reference(reference, named);
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
    struct stat named;
    if (!bind_regular_fsref_at(dir, name, expected, reference, bound, &named))
        return false;
    return finish_delete_by_reference(dir, name, reference, bound, named);
}

bool bind_held_regular_fsref(int dir, const char* name, const struct stat& expected, file_reference& held,
                             file_reference& reference, unique_fd& bound, struct stat* named)
{
    if (!S_ISREG(expected.st_mode) || held.type != S_IFREG) {
        errno = ESTALE;
        return false;
    }
    struct stat last;
    if (!bind_held_at(dir, name, expected, false, same_regular_identity, held, reference, bound, last))
        return false;
    if (named != nullptr)
        *named = last;
    return true;
}

bool delete_held_regular_checked(int dir, const char* name, const struct stat& expected, file_reference& held)
{
    file_reference reference;
    unique_fd bound;
    struct stat named;
    if (!bind_held_regular_fsref(dir, name, expected, held, reference, bound, &named))
        return false;
    return finish_delete_by_reference(dir, name, reference, bound, named);
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
    struct stat first_proof;
    if (exact_regular_content_descriptor(bound.get(), description, &first_proof) != 0)
        return false;
    struct stat reproven;
    if (exact_regular_content_descriptor_again(bound.get(), description, first_proof, &reproven) != 0)
        return fail_identity_changed();
    struct stat named;
    if (!same_regular_identity(proven, reproven) || status_below(dir, name, named) != 0
        || !same_regular_identity(proven, named))
        return fail_identity_changed();
    return finish_delete_by_reference(dir, name, reference, bound, named);
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
    file_reference reference;
    unique_fd first;
    struct stat status;
    if (!bind_at(dir, name, expected, true, same_directory_identity, reference, first, status))
        return false;
    // Once more immediately before deleting: the descriptor, then the name,
    // whose look is the one the deletion compares with the reference.
    if (descriptor_status_below(first.get(), status) != 0)
        return false;
    if (!same_directory_identity(expected, status))
        return fail_identity_changed();
    if (status_below(dir, name, status) != 0)
        return false;
    if (!same_directory_identity(expected, status))
        return fail_identity_changed();
    errno = 0;
    int deleted = delete_by_reference(reference, status);
    first.reset();
    if (deleted != 0)
        return fail_call_or_stale();
    if (!absent_at(dir, name))
        return false;
    return ::fsync(dir) == 0;
}

} // namespace anchorfs
