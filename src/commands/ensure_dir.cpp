// ensure-dir and ensure-private-dir: create or accept a directory and report
// its identity. A directory this command created is never removed again.

#include "commands/commands.hpp"

#include "core/result_line.hpp"
#include "platform/directory_open.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace anchorfs {

namespace {

int ensure_directory(const command_context& context, command_report& report, bool private_dir)
{
    const root_anchor& root = context.root;
    held_parent parent;
    if (open_held_parent(root, context.own[0], parent) != 0)
        return -1;

    // Proven twice on purpose: after the parent was opened and right before the change.
    // NOLINTNEXTLINE(misc-redundant-expression): each call walks the path again
    if (!parents_still_anchored(root, parent) || !parents_still_anchored(root, parent))
        return -1;

    if (::mkdirat(parent.fd.get(), parent.leaf, 0700) == 0) {
        struct stat made;
        if (status_below(parent.fd.get(), parent.leaf, made) != 0)
            return -1;
        if (!S_ISDIR(made.st_mode)) {
            errno = ESTALE;
            return -1;
        }
    } else if (errno != EEXIST) {
        return -1;
    }

    auto race_preserved = [&] {
        errno = ESTALE;
        report.race_code = code_race_preserved;
        return -1;
    };

    if (!parents_still_anchored(root, parent))
        return race_preserved();
    if (::fsync(parent.fd.get()) != 0)
        return -1;

    unique_fd directory = open_directory_at(parent.fd.get(), parent.leaf);
    if (!directory.valid())
        return -1;
    struct stat status;
    if (descriptor_status_below(directory.get(), status) != 0)
        return -1;
    if (!S_ISDIR(status.st_mode) || status.st_dev != root.status.st_dev) {
        errno = ESTALE;
        return -1;
    }
    if (private_dir && (status.st_uid != root.status.st_uid || (status.st_mode & 0777) != 0700)) {
        errno = ESTALE;
        return -1;
    }
    if (!parents_still_anchored(root, parent)) {
        directory.reset();
        return race_preserved();
    }
    report.success.shape = success_shape::directory;
    report.success.status = status;
    return 0;
}

} // namespace

int run_ensure_dir(const command_context& context, command_report& report)
{
    return ensure_directory(context, report, false);
}

int run_ensure_private_dir(const command_context& context, command_report& report)
{
    return ensure_directory(context, report, true);
}

} // namespace anchorfs
