// remove-private-tree removes a private tree in bounded batches, proving and
// hardening each entry right before deleting it through a reference;
// quarantine-private-tree moves a private tree aside in one exclusive rename.

#include "private_store/private_commands.hpp"
#include "private_store/private_files.hpp"
#include "private_store/private_parent.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/checked_moves.hpp"
#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/directory_listing.hpp"
#include "platform/failures.hpp"
#include "platform/listing_positions.hpp"
#include "platform/mount_status.hpp"
#include "steps/hardening.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

constexpr std::uint64_t largest_budget = 4096;
constexpr std::uint64_t largest_depth_limit = 16;

// The first entry other than "." and ".." of a fresh listing started where
// `resume` says; 1 with the name copied and `resume` set for it, 0 when the
// listing finds nothing from resume.position on, -1 on failure. The listing
// is closed before returning, so nothing is removed while a listing is open.
int first_entry(int listing_fd, listing_resume& resume, leaf_buffer& name)
{
    unique_fd listing(listing_fd);
    int found = first_directory_entry(listing.get(), resume, name, leaf_capacity);
    if (found < 0)
        return -1;
    return ::close(listing.release()) == 0 ? found : -1;
}

bool remove_private_directory_entry(int dir, const char* name, const struct stat& status,
                                    const struct stat& root_status, std::uint64_t& budget, std::uint64_t depth,
                                    std::uint64_t depth_limit, bool resume_listings)
{
    unique_fd child;
    struct stat child_status;
    if (!open_hardened_private_directory_at(dir, name, root_status, &status, child, child_status))
        return false;
    if (!remove_private_tree_contents(child.get(), root_status, budget, depth + 1, depth_limit, resume_listings))
        return false;
    struct stat emptied;
    errno = 0;
    if (::fstat(child.get(), &emptied) != 0)
        return false;
    if (!same_directory_identity(child_status, emptied))
        return fail_call_or_stale();
    child.reset();
    return delete_directory_checked(dir, name, emptied);
}

} // namespace

bool remove_private_tree_contents(int dir, const struct stat& root_status, std::uint64_t& budget,
                                  std::uint64_t depth, std::uint64_t depth_limit, bool resume_listings)
{
    if (depth > depth_limit) {
        errno = E2BIG;
        return false;
    }
    // Each pass lists afresh from where the last one found its entry, so the
    // file system does not pass again over the slots earlier passes emptied;
    // where positions do not stay put across creations, from the start.
    listing_resume resume;
    for (;;) {
        if (!resume_listings)
            resume = listing_resume{};
        int listing = ::openat(dir, ".", private_directory_open_flags());
        if (listing < 0)
            return false;
        leaf_buffer name;
        int found = first_entry(listing, resume, name);
        if (found < 0)
            return false;
        if (found == 0) {
            if (resume.position == 0)
                return true; // a listing from the start found nothing
            resume = listing_resume{}; // entries made meanwhile may lie behind the position
            continue;
        }
        struct stat status;
        if (!private_tree_entry_status(dir, name, root_status, budget, status))
            return false;
        if (S_ISDIR(status.st_mode)) {
            if (!remove_private_directory_entry(dir, name, status, root_status, budget, depth, depth_limit,
                                                resume_listings))
                return false;
        } else if (S_ISREG(status.st_mode)) {
            // The handle the file is hardened through becomes its reference.
            file_reference held;
            struct stat hardened;
            errno = 0;
            if (!harden_private_regular_entry(dir, name, root_status, status, held, hardened)
                || !delete_held_regular_checked(dir, name, hardened, held))
                return fail_call_or_stale();
        } else {
            errno = ESTALE; // symbolic link, FIFO, socket or device node
            return false;
        }
    }
}

int run_remove_private_tree(const command_context& context, command_report& /*report*/)
{
    const root_anchor& root = context.root;
    std::uint64_t budget;
    std::uint64_t depth_limit;
    if (parse_u64(context.own[1], budget) != 0 || parse_u64(context.own[2], depth_limit) != 0)
        return -1;
    if (budget == 0 || budget > largest_budget || depth_limit > largest_depth_limit) {
        errno = EINVAL;
        return -1;
    }
    // Entries are deleted through references bound below the top: its path
    // must be readable and fit before anything is hardened or deleted.
    held_parent parent;
    struct stat top_named;
    mount_place top_place;
    if (int found = open_private_entry_to_remove(root, context.own[0], parent, top_named, &top_place); found <= 0)
        return found; // 0: nothing to remove
    if (!S_ISDIR(top_named.st_mode) || !on_root_device_and_owner(top_named, root.status)) {
        errno = EINVAL;
        return -1;
    }
    // A bind mount of the root's own file system passes the test above.
    if (top_place.mount_root)
        return fail_identity_changed();
    unique_fd top;
    struct stat top_status;
    if (!open_hardened_private_directory_at(parent.fd.get(), parent.leaf, root.status, &top_named, top, top_status))
        return -1;

    // Validation refuses a tree holding anything that does not belong before
    // anything is deleted; E2BIG only means the tree is larger than one run.
    std::uint64_t validation_budget = budget;
    errno = 0;
    if (!validate_private_tree_descriptor(top.get(), root.status, validation_budget, 0, depth_limit)
        && errno != E2BIG) {
        if (errno == 0)
            errno = ESTALE;
        return -1;
    }
    if (!parents_still_anchored(root, parent))
        return -1;
    std::uint64_t removal_budget = budget;
    // A failed query only costs the flat listing: every pass starts over.
    const bool resume_listings = listing_positions_stable_for(top.get());
    if (!remove_private_tree_contents(top.get(), root.status, removal_budget, 0, depth_limit, resume_listings)) {
        if (errno != ENOENT)
            return -1;
        // Something below the top went under the run. Another process that
        // removed the whole tree left what a missing name is; anything else
        // is a change met during removal.
        struct stat named;
        if (status_below(parent.fd.get(), parent.leaf, named) != 0)
            return errno == ENOENT ? 0 : -1;
        return fail_identity_changed();
    }
    struct stat emptied;
    if (::fstat(top.get(), &emptied) != 0)
        return -1;
    struct stat named;
    errno = 0;
    if (!same_directory_identity(top_status, emptied))
        return -1; // reported as EINVAL
    if (status_below(parent.fd.get(), parent.leaf, named) != 0)
        return -1;
    if (!same_directory_identity(emptied, named)) {
        errno = 0; // reported as EINVAL
        return -1;
    }
    top.reset();
    return delete_directory_checked(parent.fd.get(), parent.leaf, emptied) ? 0 : -1;
}

int run_quarantine_private_tree(const command_context& context, command_report& /*report*/)
{
    const root_anchor& root = context.root;
    held_parent source;
    held_parent destination;
    if (open_held_private_parent(root, context.own[0], source) != 0
        || open_held_private_parent(root, context.own[1], destination) != 0)
        return -1;
    errno = 0;
    if (!same_directory_descriptor(source.fd.get(), destination.fd.get()))
        return -1;
    if (!parents_still_anchored(root, source, destination)
        || !harden_private_directory(source.fd.get(), root.status)
        || !parents_still_anchored(root, source, destination))
        return -1;

    enum class probe { directory, absent, error };
    auto probe_name = [](const held_parent& parent, struct stat& status, int& error) {
        if (directory_at(parent.fd.get(), parent.leaf, status) == 0)
            return probe::directory;
        error = errno;
        return error == ENOENT ? probe::absent : probe::error;
    };
    struct stat source_status;
    struct stat destination_status;
    int source_error = 0;
    int destination_error = 0;
    probe source_probe = probe_name(source, source_status, source_error);
    probe destination_probe = probe_name(destination, destination_status, destination_error);

    if (source_probe == probe::error && destination_probe != probe::error) {
        errno = source_error;
        return -1;
    }
    if (destination_probe == probe::error) {
        errno = destination_error;
        return -1;
    }
    if (source_probe == probe::directory && destination_probe == probe::directory) {
        errno = 0; // reported as EINVAL
        return -1;
    }
    if (source_probe == probe::absent && destination_probe == probe::absent)
        return 0;
    if (source_probe == probe::absent) {
        // Already moved by an earlier run.
        if (on_root_device_and_owner(destination_status, root.status))
            return 0;
        errno = ESTALE;
        return -1;
    }
    if (!on_root_device_and_owner(source_status, root.status)) {
        errno = ESTALE;
        return -1;
    }
    errno = 0;
    if (move_directory_checked(source.fd.get(), source.leaf, destination.fd.get(), destination.leaf, source_status))
        return 0;
    if (errno == 0)
        errno = ESTALE;
    return -1;
}

} // namespace anchorfs
