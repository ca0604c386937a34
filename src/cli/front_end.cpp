#include "cli/front_end.hpp"

#include "anchor/root_anchor.hpp"
#include "cli/command_table.hpp"
#include "core/argument_forms.hpp"
#include "core/command.hpp"
#include "core/result_line.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/owners.hpp"
#include "platform/stream_io.hpp"

#include <cerrno>

namespace anchorfs {

namespace {
// The status a printed line earns, unless it was not delivered whole.
int delivered(int printed, int status)
{
    return printed == 0 ? status : exit_undelivered;
}

int protocol_failure()
{
    return delivered(print_failure_line(code_invalid_protocol, EINVAL), exit_protocol);
}
} // namespace

int run_front_end(int argc, char** argv)
{
    proc_view_holder proc_view; // closes /proc at the end of the run if it was proven
    if (argc < first_own_slot)
        return protocol_failure();
    argument_vector args(argv, static_cast<std::size_t>(argc));

    root_anchor root;
    root.path = argv[2];
    if (parse_u64(argv[3], root.device) != 0 || parse_u64(argv[4], root.inode) != 0
        || parse_u64(argv[5], root.owner_uid) != 0)
        return protocol_failure();

    unique_fd root_fd = open_root(root);
    if (!root_fd.valid()) {
        int error = errno;
        return delivered(print_failure_line(error == ESTALE ? code_root_identity_changed : errno_code(error), error),
                         exit_failure);
    }
    root.fd = root_fd.get();

    filesystem_status filesystem;
    if (::fstatfs(root.fd, &filesystem.status) != 0)
        filesystem.error = errno;

    command_report report;
    int result = -1;
    errno = EINVAL;
    if (const command_entry* command = find_command(argv[1], argc); command != nullptr) {
        // Running out of descriptors half-way would look like a race and could
        // strand a step: the run refuses before its first change instead.
        if (check_descriptor_room(descriptor_budget(*command)) == 0) {
            command_context context{root, args.subspan(first_own_slot), filesystem};
            result = command->run(context, report);
        }
    }

    int error = errno != 0 ? errno : EINVAL;
    root_fd.reset();
    if (result == 0)
        return delivered(print_success(report.success), exit_success);
    const char* code = report.race_code != nullptr ? report.race_code
                       : error == ESTALE           ? code_identity_changed
                                                   : errno_code(error);
    return delivered(print_failure_line(code, error), exit_failure);
}

} // namespace anchorfs
