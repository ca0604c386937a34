#include "protocol/command_table.hpp"

#include "commands/commands.hpp"

#include <cerrno>
#include <cstring>

namespace anchorfs {

namespace {
struct command_entry {
    const char* name;
    int argc;
    command_id id;
};

// Order matters: names are tried from the top, and a name whose count differs
// simply does not match.
constexpr command_entry command_table[] = {
    {"ensure-dir", 7, command_id::ensure_dir},
    {"ensure-private-dir", 7, command_id::ensure_private_dir},
};
} // namespace

command_id find_command(const char* name, int argc)
{
    for (const command_entry& entry : command_table) {
        if (argc == entry.argc && std::strcmp(name, entry.name) == 0)
            return entry.id;
    }
    return command_id::none;
}

int run_command(command_id id, const command_context& context, command_report& report)
{
    switch (id) {
    case command_id::ensure_dir: return run_ensure_dir(context, report);
    case command_id::ensure_private_dir: return run_ensure_private_dir(context, report);
    case command_id::none: break;
    }
    errno = EINVAL;
    return -1;
}

} // namespace anchorfs
