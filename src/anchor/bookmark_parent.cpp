// bookmark-parent: the bookmark and identity of an entry's parent directory,
// for a later recover command.

#include "anchor/anchor_commands.hpp"

#include "anchor/bookmarks.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <utility>

namespace anchorfs {

int run_bookmark_parent(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    held_parent parent;
    if (open_held_parent(root, context.own[0], parent) != 0)
        return -1;
    unique_buffer bookmark;
    struct stat status;
    errno = 0;
    if (!parents_still_anchored(root, parent) || ::fstat(parent.fd.get(), &status) != 0
        || create_directory_bookmark(root, parent.fd.get(), status, bookmark) != 0 || !parents_still_anchored(root, parent)) {
        if (errno == 0)
            errno = ESTALE;
        return -1;
    }
    report.success.shape = success_shape::bookmark;
    report.success.status = status;
    report.success.bytes = std::move(bookmark);
    return 0;
}

} // namespace anchorfs
