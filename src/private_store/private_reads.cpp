// Reading a whole file while proving it did not change under the read, and
// the two read commands that hand the bytes to the parent application.

#include "private_store/private_commands.hpp"
#include "private_store/private_files.hpp"
#include "private_store/private_parent.hpp"

#include "checked/probes.hpp"
#include "platform/failures.hpp"
#include "platform/mount_status.hpp"
#include "platform/writer_probe.hpp"
#include "steps/hardening.hpp"

#include <cerrno>
#include <utility>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

// A single-link regular file of the private store, within the bound (a
// regular file's size is never negative).
bool private_candidate(const struct stat& status, const struct stat& root_status, std::uint64_t bound)
{
    return S_ISREG(status.st_mode) && on_root_device_and_owner(status, root_status) && status.st_nlink == 1
           && static_cast<std::uint64_t>(status.st_size) <= bound;
}

// Reads exactly `size` bytes from offset 0 and proves end of file right after.
int read_whole(int fd, unique_buffer& content, std::uint64_t size)
{
    if (!content.allocate(static_cast<std::size_t>(size)))
        return -1;
    if (::lseek(fd, 0, SEEK_SET) < 0)
        return -1;
    std::uint64_t filled = 0;
    while (filled < size) {
        ssize_t got = ::read(fd, content.data + filled, static_cast<std::size_t>(size - filled));
        if (got < 0)
            return -1;
        if (got == 0) {
            errno = ESTALE; // the file shrank
            return -1;
        }
        filled += static_cast<std::uint64_t>(got);
    }
    unsigned char extra;
    errno = 0;
    ssize_t more = ::read(fd, &extra, 1);
    if (more != 0) {
        if (more > 0 || errno == 0)
            errno = ESTALE; // the file grew
        return -1;
    }
    content.size = static_cast<std::size_t>(size);
    return 0;
}

int read_regular(int fd, const struct stat& root_status, std::uint64_t bound, bool harden, unique_buffer& content,
                 std::uint64_t& size, struct stat* after)
{
    if (bound > content_limit)
        return fail_identity_changed();
    struct stat before;
    if (descriptor_status_below(fd, before) != 0)
        return -1;
    if (!private_candidate(before, root_status, bound) || (!harden && before.st_size == 0))
        return fail_identity_changed();
    if (harden) {
        if (::fchmod(fd, 0600) != 0 || descriptor_status_below(fd, before) != 0)
            return -1;
        if (!private_candidate(before, root_status, bound) || (before.st_mode & 0777) != 0600)
            return fail_identity_changed();
    }
    // Stores through another process's shared writable mapping leave the
    // status as it was: bytes read while one exists may be torn.
    if (probe_no_other_writer(fd) != 0)
        return -1;
    unique_buffer read_content;
    std::uint64_t expected = static_cast<std::uint64_t>(before.st_size);
    if (read_whole(fd, read_content, expected) != 0)
        return -1;
    struct stat final_status;
    if (descriptor_status_below(fd, final_status) != 0)
        return -1;
    if (!same_file_snapshot(before, final_status))
        return fail_identity_changed();
    // A writer that came during the reads and is still there.
    if (probe_no_other_writer(fd) != 0)
        return -1;
    content = std::move(read_content);
    size = expected;
    if (after != nullptr)
        *after = final_status;
    return 0;
}

// Opens the held entry read-only and reads it whole as read_regular does. The
// file stays open in `file` while the caller proves the name afterwards.
int read_entry(const held_parent& parent, const struct stat& root_status, std::uint64_t bound, bool harden,
               unique_fd& file, unique_buffer& content, struct stat& read_status)
{
    file = open_regular_at(parent.fd.get(), parent.leaf);
    if (!file.valid())
        return -1;
    std::uint64_t size = 0;
    return read_regular(file.get(), root_status, bound, harden, content, size, &read_status);
}

// The content becomes the command's output once the parent proved anchored a
// last time.
int hand_over_content(const root_anchor& root, const held_parent& parent, unique_buffer& content,
                      command_report& report)
{
    if (!parents_still_anchored(root, parent))
        return -1;
    report.success.shape = success_shape::size_and_content;
    report.success.bytes = std::move(content);
    return 0;
}

} // namespace

int read_private_regular(int fd, const struct stat& root_status, std::uint64_t bound, unique_buffer& content,
                         std::uint64_t& size, struct stat* after)
{
    return read_regular(fd, root_status, bound, true, content, size, after);
}

int run_read_private_file(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    std::uint64_t bound;
    if (parse_u64_at_most(context.own[1], content_limit, bound) != 0)
        return -1;
    held_parent parent;
    if (open_hardened_private_parent(root, context.own[0], parent) != 0)
        return -1;
    unique_fd file;
    unique_buffer content;
    struct stat read_status;
    if (read_entry(parent, root.status, bound, true, file, content, read_status) != 0)
        return -1;
    struct stat named;
    if (status_below(parent.fd.get(), parent.leaf, named) != 0)
        return -1;
    if (!same_regular_identity(read_status, named))
        return fail_identity_changed();
    return hand_over_content(root, parent, content, report);
}

int run_read_external_file(const command_context& context, command_report& report)
{
    const root_anchor& root = context.root;
    std::uint64_t bound;
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t owner_uid;
    if (parse_u64_at_most(context.own[1], content_limit, bound) != 0 || parse_u64(context.own[2], device) != 0
        || parse_u64(context.own[3], inode) != 0 || parse_u64(context.own[4], owner_uid) != 0)
        return -1;
    held_parent parent;
    if (open_held_private_parent(root, context.own[0], parent) != 0)
        return -1;
    struct stat parent_before;
    struct stat parent_now;
    if (::fstat(parent.fd.get(), &parent_before) != 0 || ::fstat(parent.fd.get(), &parent_now) != 0)
        return -1;
    // The caller names the directory the file must be read from.
    if (!S_ISDIR(parent_before.st_mode) || static_cast<std::uint64_t>(parent_before.st_dev) != device
        || static_cast<std::uint64_t>(parent_before.st_ino) != inode
        || static_cast<std::uint64_t>(parent_before.st_uid) != owner_uid
        || !same_directory_identity(parent_before, parent_now)) {
        errno = EINVAL;
        return -1;
    }
    if (!parents_still_anchored(root, parent))
        return -1;
    unique_fd file;
    unique_buffer content;
    struct stat read_status;
    if (read_entry(parent, root.status, bound, false, file, content, read_status) != 0)
        return -1;
    struct stat named;
    if (::fstat(parent.fd.get(), &parent_now) != 0
        || status_below(parent.fd.get(), parent.leaf, named) != 0)
        return -1;
    if (!same_directory_identity(parent_before, parent_now) || !same_file_snapshot(read_status, named))
        return fail_identity_changed();
    return hand_over_content(root, parent, content, report);
}

} // namespace anchorfs
