// remove-private-file: a private file is deleted only while its content has
// the given size and digest, proven three times, the last two through the
// descriptor bound to the file's reference.

#include "private_store/private_commands.hpp"
#include "private_store/private_files.hpp"
#include "private_store/private_parent.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/failures.hpp"
#include "platform/mount_status.hpp"
#include "steps/hardening.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// One content proof: exactly `size` bytes whose digest matches.
bool private_content_matches(int fd, const struct stat& root_status, std::uint64_t size, const char* digest,
                             struct stat& after)
{
    unique_buffer content;
    std::uint64_t read_size = 0;
    errno = 0;
    if (read_private_regular(fd, root_status, size, content, read_size, &after) != 0)
        return false;
    if (read_size != size) {
        errno = ESTALE;
        return false;
    }
    return sha256_matches(std::span<const unsigned char>(content.data, static_cast<std::size_t>(size)), digest);
}

bool name_has_identity(int dir, const char* name, const struct stat& expected, struct stat& named)
{
    if (status_below(dir, name, named) != 0)
        return false;
    if (same_regular_identity(expected, named))
        return true;
    errno = ESTALE;
    return false;
}

} // namespace

bool delete_private_regular_content(int dir, const char* name, const struct stat& root_status, std::uint64_t size,
                                    const char* digest)
{
    // What is refused by the name's status alone is refused before any mode
    // changes, as the read commands do: a symbolic link, a file over the size.
    struct stat named;
    if (status_below(dir, name, named) != 0)
        return false;
    if (S_ISLNK(named.st_mode)) {
        errno = ELOOP;
        return false;
    }
    if (S_ISREG(named.st_mode) && static_cast<std::uint64_t>(named.st_size) > size)
        return fail_identity_changed();
    // Hardened first through a handle that needs no permission on the file, so
    // that a mode denying its owner reading does not stop the owner's removal.
    // The look above is the one before hardening, and the handle the file is
    // hardened through is the reference it is bound and deleted through.
    file_reference held;
    struct stat hardened;
    errno = 0;
    if (!harden_private_regular_entry(dir, name, root_status, named, held, hardened))
        return fail_call_or_stale();
    struct stat first;
    {
        // The handle showed a regular file, and an object keeps its type: this
        // opens that file for reading and nothing else.
        unique_fd fd = reopen_through_descriptor(held.object.get(), O_RDONLY | O_NONBLOCK);
        if (!fd.valid())
            return false;
        if (!private_content_matches(fd.get(), root_status, size, digest, first))
            return fail_call_or_stale();
    }
    // Twice through the bound descriptor: each time the same file as the proof
    // before, and still the one under the name.
    return delete_private_file_by_reference(dir, name, first, [&](int bound, struct stat& named) -> bool {
        struct stat proven = first;
        for (int round = 0; round < 2; ++round) {
            struct stat again;
            if (!private_content_matches(bound, root_status, size, digest, again))
                return fail_call_or_stale();
            if (!same_regular_identity(proven, again))
                return fail_identity_changed();
            errno = 0;
            if (!name_has_identity(dir, name, again, named))
                return fail_call_or_stale();
            proven = again;
        }
        return true;
    }, &held);
}

bool delete_bound_private_file(int dir, const char* name, const file_reference& reference, unique_fd& bound,
                               const struct stat& named)
{
    errno = 0;
    int deleted = delete_by_reference(reference, named);
    bound.reset();
    if (deleted == 0 && absent_at(dir, name) && ::fsync(dir) == 0)
        return true;
    return fail_call_or_stale();
}

int run_remove_private_file(const command_context& context, command_report& /*report*/)
{
    const root_anchor& root = context.root;
    std::uint64_t size;
    if (parse_u64_at_most(context.own[1], content_limit, size) != 0)
        return -1;
    const char* digest = context.own[2];
    if (!valid_sha256_hex(digest)) {
        errno = EINVAL;
        return -1;
    }
    held_parent parent;
    struct stat named;
    if (int found = open_private_entry_to_remove(root, context.own[0], parent, named); found <= 0)
        return found; // 0: nothing to remove
    if (!parents_still_anchored(root, parent))
        return -1;
    return delete_private_regular_content(parent.fd.get(), parent.leaf, root.status, size, digest) ? 0 : -1;
}

} // namespace anchorfs
