// The front end's preparation of the recover commands: the root's file-system
// status, the bookmarked parents in slot order, then the descriptions.

#include "recovery/recovery.hpp"

#include "platform/descriptor_path.hpp"

#include <cerrno>

namespace anchorfs {

namespace {

template <std::size_t count>
int open_groups(const command_context& context, bookmarked_parent (&groups)[count])
{
    if (context.filesystem.error != 0) {
        errno = context.filesystem.error;
        return -1;
    }
    filesystem_identifier identifier{context.root.fd, context.filesystem.status.f_fsid};
    for (std::size_t i = 0; i < count; ++i) {
        if (open_bookmarked_parent(context.own, 6 * static_cast<int>(i), context.root,
                                   identifier, groups[i])
            != 0)
            return -1;
    }
    // Every content proof reopens the file it classified through the proven
    // table: without one, refused before anything is looked at, not taken for
    // a file that is not there.
    return prove_descriptor_table();
}

} // namespace

int run_recover_rename(const command_context& context, command_report& /*report*/)
{
    bookmarked_parent groups[2];
    exact_file_description file;
    if (open_groups(context, groups) != 0 || parse_file_description(context.own, 12, file) != 0)
        return -1;
    return recover_rename(context.root, groups[0], groups[1], file);
}

int run_recover_swap(const command_context& context, command_report& /*report*/)
{
    bookmarked_parent groups[2];
    exact_file_description file1;
    exact_file_description file2;
    if (open_groups(context, groups) != 0 || parse_file_description(context.own, 12, file1) != 0
        || parse_file_description(context.own, 20, file2) != 0)
        return -1;
    return recover_swap(context.root, groups[0], groups[1], file1, file2);
}

int run_recover_unlink(const command_context& context, command_report& /*report*/)
{
    bookmarked_parent groups[3];
    exact_file_description file;
    if (open_groups(context, groups) != 0 || parse_file_description(context.own, 18, file) != 0)
        return -1;
    return recover_unlink(context.root, groups[0], groups[1], groups[2], file);
}

int run_recover_link(const command_context& context, command_report& /*report*/)
{
    bookmarked_parent groups[4];
    exact_file_description file;
    if (open_groups(context, groups) != 0 || parse_file_description(context.own, 24, file) != 0)
        return -1;
    return recover_link(context.root, groups[0], groups[1], groups[2], groups[3], file);
}

} // namespace anchorfs
