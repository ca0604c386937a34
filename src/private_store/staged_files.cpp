// create-private-file-staged writes a private file under a staging name and
// moves it to its final name only once it is complete, flushed and proven, so
// the final name never holds a partly written file. remove-private-staging-file
// clears what a failed staging left behind.

#include "private_store/private_commands.hpp"
#include "private_store/private_files.hpp"
#include "private_store/private_parent.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/checked_moves.hpp"
#include "checked/probes.hpp"
#include "checked/rollbacks.hpp"
#include "core/result_line.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/failures.hpp"
#include "platform/mount_status.hpp"
#include "steps/hardening.hpp"
#include "steps/input_copy.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// How far a staged creation got, which decides its cleanup.
enum class staged_state {
    nothing_created, // the tree is unchanged (apart from hardening)
    staging_written, // a failure leaves the staging file for remove-private-staging-file
    staging_proven,  // a failure deletes the staging file
    moved_to_final,  // a failure moves the file back and deletes it
    done,
};

bool private_created_as_announced(const struct stat& status, const struct stat& root_status, std::uint64_t size)
{
    return S_ISREG(status.st_mode) && on_root_device_and_owner(status, root_status) && status.st_nlink == 1
           && static_cast<std::uint64_t>(status.st_size) == size
           && (status.st_mode & 0777) == 0600;
}

bool same_moved_file(const struct stat& created, const struct stat& now, std::uint64_t size)
{
    return same_regular_identity(created, now) && static_cast<std::uint64_t>(now.st_size) == size
           && now.st_mtim.tv_sec == created.st_mtim.tv_sec && now.st_mtim.tv_nsec == created.st_mtim.tv_nsec;
}

bool same_identity_size_and_time(const struct stat& a, const struct stat& b)
{
    return same_regular_identity(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec
           && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

struct staged_run {
    const root_anchor& root;
    const char* final_path;
    const char* staging_path;
    std::uint64_t size;
    held_parent final_parent;
    held_parent staging_parent;
    unique_fd staging_file;
    struct stat created {};
    staged_state state = staged_state::nothing_created;

    bool anchored() const
    {
        return paths_still_anchored(root, {final_path, final_parent.fd.get()},
                                    {staging_path, staging_parent.fd.get()});
    }

    int write_and_move();
    // Undoes what the state requires; false when an undo step failed.
    bool clean_up();
};

int staged_run::write_and_move()
{
    if (open_held_private_parent(root, final_path, final_parent) != 0
        || open_held_private_parent(root, staging_path, staging_parent) != 0)
        return -1;
    errno = 0;
    if (!same_directory_descriptor(final_parent.fd.get(), staging_parent.fd.get()))
        return -1;
    // The clean-up deletes through a reference bound through these names.
    if (entry_path_fits(staging_parent.fd.get(), staging_parent.leaf) != 0
        || entry_path_fits(final_parent.fd.get(), final_parent.leaf) != 0)
        return -1;
    if (!anchored() || !harden_private_directory(final_parent.fd.get(), root.status) || !anchored())
        return -1;
    if (!absent_at(final_parent.fd.get(), final_parent.leaf) || !absent_at(staging_parent.fd.get(), staging_parent.leaf))
        return -1;
    if (!anchored())
        return -1;

    staging_file.reset(::openat(staging_parent.fd.get(), staging_parent.leaf,
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!staging_file.valid())
        return -1;
    state = staged_state::staging_written;
    if (::fchmod(staging_file.get(), 0600) != 0 || copy_exact_input(staging_file.get(), size) != 0
        || ::fsync(staging_file.get()) != 0 || ::fstat(staging_file.get(), &created) != 0)
        return -1;
    if (!private_created_as_announced(created, root.status, size))
        return fail_identity_changed();
    if (::fsync(staging_parent.fd.get()) != 0)
        return -1;

    state = staged_state::staging_proven;
    struct stat now;
    if (::fstat(staging_file.get(), &now) != 0)
        return -1;
    if (!same_file_snapshot(created, now))
        return fail_identity_changed();
    if (status_below(staging_parent.fd.get(), staging_parent.leaf, now) != 0)
        return -1;
    if (!same_file_snapshot(created, now))
        return fail_identity_changed();
    if (!absent_at(final_parent.fd.get(), final_parent.leaf) || !anchored())
        return -1;
    // Cleared: a refused source identity leaves errno alone, and the ENOENT of
    // the absence proof above must not stand for it.
    errno = 0;
    if (!move_regular_checked(staging_parent.fd.get(), staging_parent.leaf, final_parent.fd.get(), final_parent.leaf,
                              created))
        return -1;

    state = staged_state::moved_to_final;
    if (::fsync(final_parent.fd.get()) != 0)
        return -1;
    struct stat held;
    if (::fstat(staging_file.get(), &held) != 0)
        return -1;
    if (!same_moved_file(created, held, size))
        return fail_identity_changed();
    struct stat named;
    if (status_below(final_parent.fd.get(), final_parent.leaf, named) != 0)
        return -1;
    if (!same_identity_size_and_time(held, named))
        return fail_identity_changed();
    if (!absent_at(staging_parent.fd.get(), staging_parent.leaf) || !anchored())
        return -1;
    state = staged_state::done;
    return 0;
}

bool staged_run::clean_up()
{
    switch (state) {
    case staged_state::nothing_created:
    case staged_state::staging_written:
    case staged_state::done:
        return true;
    case staged_state::staging_proven:
        return rollback_created_file(staging_parent.fd.get(), staging_parent.leaf, staging_file.get());
    case staged_state::moved_to_final:
        return move_regular_checked(final_parent.fd.get(), final_parent.leaf, staging_parent.fd.get(),
                                    staging_parent.leaf, created)
               && rollback_created_file(staging_parent.fd.get(), staging_parent.leaf, staging_file.get());
    }
    return false;
}

} // namespace

int run_create_private_file_staged(const command_context& context, command_report& report)
{
    std::uint64_t size;
    if (parse_u64_at_most(context.own[2], content_limit, size) != 0)
        return -1;
    const char* final_path = context.own[0];
    const char* staging_path = context.own[1];
    if (std::strcmp(final_path, staging_path) == 0) {
        errno = EINVAL;
        return -1;
    }
    staged_run run{context.root, final_path, staging_path, size, {}, {}, {}, {}, staged_state::nothing_created};
    if (run.write_and_move() == 0)
        return 0;
    int error = errno != 0 ? errno : ESTALE;
    if (!run.clean_up())
        report.race_code = code_race_preserved;
    errno = error;
    return -1;
}

bool delete_private_staging_bounded(int dir, const char* name, const struct stat& root_status, std::uint64_t bound)
{
    auto within_bound = [&](const struct stat& status) {
        return static_cast<std::uint64_t>(status.st_size) <= bound;
    };
    struct stat hardened;
    {
        // A handle that needs no permission on the file: a mode that denies
        // its owner reading must not keep the owner from removing it.
        unique_fd fd(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid())
            return false;
        struct stat status;
        if (descriptor_status_below(fd.get(), status) != 0)
            return false;
        if (!S_ISREG(status.st_mode) || !on_root_device_and_owner(status, root_status) || status.st_nlink != 1
            || !within_bound(status))
            return fail_identity_changed();
        if (change_mode_through_descriptor(fd.get(), 0600) != 0 || descriptor_status_below(fd.get(), hardened) != 0)
            return false;
        if (!S_ISREG(hardened.st_mode) || !on_root_device_and_owner(hardened, root_status) || hardened.st_nlink != 1
            || !within_bound(hardened) || (hardened.st_mode & 0777) != 0600)
            return fail_identity_changed();
    }
    return delete_private_file_by_reference(dir, name, hardened, [&](int bound_fd, struct stat& named) -> bool {
        struct stat held;
        if (descriptor_status_below(bound_fd, held) != 0)
            return false;
        if (!same_regular_identity(hardened, held) || !within_bound(held))
            return fail_identity_changed();
        if (status_below(dir, name, named) != 0)
            return false;
        if (!same_regular_identity(held, named) || !within_bound(named))
            return fail_identity_changed();
        return true;
    });
}

int run_remove_private_staging_file(const command_context& context, command_report& /*report*/)
{
    const root_anchor& root = context.root;
    std::uint64_t bound;
    if (parse_u64_at_most(context.own[1], content_limit, bound) != 0)
        return -1;
    held_parent parent;
    struct stat status;
    if (int found = open_private_entry_to_remove(root, context.own[0], parent, status); found <= 0)
        return found; // 0: nothing to remove
    if (!S_ISREG(status.st_mode) || !on_root_device_and_owner(status, root.status) || status.st_nlink != 1
        || static_cast<std::uint64_t>(status.st_size) > bound) {
        errno = EINVAL;
        return -1;
    }
    if (!parents_still_anchored(root, parent))
        return -1;
    return delete_private_staging_bounded(parent.fd.get(), parent.leaf, root.status, bound) ? 0 : -1;
}

} // namespace anchorfs
