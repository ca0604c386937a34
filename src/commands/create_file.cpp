// create-file and create-private-file: a new regular file filled with exactly
// the announced bytes from standard input, removed again on any failure after
// it was created (or reported as kept when that cannot be done).

#include "commands/commands.hpp"

#include "checked/rollbacks.hpp"
#include "core/result_line.hpp"
#include "platform/descriptor_path.hpp"
#include "steps/hardening.hpp"
#include "steps/input_copy.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace anchorfs {

namespace {

struct create_request {
    const char* path;
    std::uint64_t permissions;
    std::uint64_t size;
    bool private_file;
};

int create_regular_file(const command_context& context, command_report& report, const create_request& request)
{
    const root_anchor& root = context.root;
    held_parent parent;
    int opened = request.private_file ? open_held_private_parent(root, request.path, parent)
                                      : open_held_parent(root, request.path, parent);
    if (opened != 0)
        return -1;
    // Undoing the create deletes through a reference bound through the name.
    if (entry_path_fits(parent.fd.get(), parent.leaf) != 0)
        return -1;

    if (!parents_still_anchored(root, parent))
        return -1;
    if (request.private_file
        && (!harden_private_directory(parent.fd.get(), root.status) || !parents_still_anchored(root, parent)))
        return -1;
    if (!parents_still_anchored(root, parent))
        return -1;

    const mode_t mode = static_cast<mode_t>(request.permissions);
    unique_fd file(::openat(parent.fd.get(), parent.leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file.valid())
        return -1;

    // From here on the file exists: every failure removes it again.
    auto race = [&] {
        bool rolled_back = rollback_created_file(parent.fd.get(), parent.leaf, file.get());
        report.race_code = rolled_back ? code_race_rolled_back : code_race_preserved;
        errno = ESTALE;
        return -1;
    };
    // A plain failure promises the file is gone: one the undo could not take
    // away (another name was given to it, the directory refuses removals) is
    // reported as kept, with the failure's own error.
    auto fail = [&] {
        int error = errno;
        if (!rollback_created_file(parent.fd.get(), parent.leaf, file.get()))
            report.race_code = code_race_preserved;
        errno = error;
        return -1;
    };

    if (::fchmod(file.get(), mode) != 0)
        return fail();
    if (copy_exact_input(file.get(), request.size) != 0)
        return fail();
    if (::fsync(file.get()) != 0)
        return fail();
    struct stat written;
    if (::fstat(file.get(), &written) != 0)
        return fail();
    bool as_announced = S_ISREG(written.st_mode) && written.st_dev == root.status.st_dev
                        && (!request.private_file || (written.st_uid == root.status.st_uid && written.st_nlink == 1))
                        && static_cast<std::uint64_t>(written.st_size) == request.size
                        && (written.st_mode & 0777) == mode;
    if (!as_announced) {
        errno = ESTALE;
        return fail();
    }
    if (!parents_still_anchored(root, parent))
        return race();
    if (::fsync(parent.fd.get()) != 0)
        return fail();
    if (!parents_still_anchored(root, parent))
        return race();
    return 0;
}

} // namespace

int run_create_file(const command_context& context, command_report& report)
{
    create_request request{context.own[0], 0, 0, false};
    if (parse_u64(context.own[1], request.permissions) != 0 || parse_u64(context.own[2], request.size) != 0)
        return -1;
    if (request.permissions > 0777 || request.size > content_limit) {
        errno = EINVAL;
        return -1;
    }
    return create_regular_file(context, report, request);
}

int run_create_private_file(const command_context& context, command_report& report)
{
    create_request request{context.own[0], 0600, 0, true};
    if (parse_u64_at_most(context.own[1], content_limit, request.size) != 0)
        return -1;
    return create_regular_file(context, report, request);
}

} // namespace anchorfs
