#include "anchor/bookmarks.hpp"

#include "platform/descriptor_path.hpp"
#include "platform/directory_open.hpp"
#include "platform/failures.hpp"

#include <cerrno>
#include <cstring>

namespace anchorfs {

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int decode_bookmark_text(const char* text, unique_buffer& bytes)
{
    if (text == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::size_t length = ::strnlen(text, bookmark_text_limit + 1);
    if (length % 2 != 0 || length < 2 || length > bookmark_text_limit) {
        errno = EINVAL;
        return -1;
    }
    if (!bytes.allocate(length / 2))
        return -1;
    for (std::size_t i = 0; i < length / 2; ++i) {
        int high = hex_value(text[2 * i]);
        int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            errno = EINVAL;
            return -1;
        }
        bytes.data[i] = static_cast<unsigned char>((high << 4) | low);
    }
    return 0;
}

// A directory with the expected identity, or empty: ESTALE for another
// identity, else the error of the call that failed.
unique_fd with_identity(unique_fd fd, std::uint64_t device, std::uint64_t inode, std::uint64_t owner_uid)
{
    if (!fd.valid())
        return fd;
    errno = 0;
    if (!directory_identity(fd.get(), device, inode, owner_uid))
        return {};
    return fd;
}

// The road by the recorded path: the part of it below the root's path, walked
// from the root's descriptor one name at a time (no symbolic link followed,
// no mount crossed). A recorded path that does not lie below the root's path
// as /proc shows it gives this road up (ENOENT): nothing outside the root is
// walked.
unique_fd open_at_recorded_path(const root_anchor& root, const bookmark_record& record)
{
    static char root_path[full_path_capacity];
    static char relative[full_path_capacity];
    if (descriptor_path(root.fd, root_path) != 0)
        return {};
    if (!recorded_path_below(record, root_path, relative)) {
        errno = ENOENT;
        return {};
    }
    return open_relative_directory(root, relative);
}

// An empty result whose error tells of a shortage (descriptors, memory) ends
// the resolution with that error; any other error sends it down the next road.
bool shortage(const unique_fd& fd)
{
    return !fd.valid() && resource_shortage(errno);
}

} // namespace

int create_directory_bookmark(const root_anchor& root, int dir_fd, const struct stat& status,
                              unique_buffer& bookmark)
{
    unique_buffer record;
    if (make_bookmark_record(dir_fd, status, record) != 0)
        return -1;
    unique_buffer text;
    if (!text.allocate(record.size * 2 + 1))
        return -1;
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < record.size; ++i) {
        text.data[2 * i] = static_cast<unsigned char>(digits[record.data[i] >> 4]);
        text.data[2 * i + 1] = static_cast<unsigned char>(digits[record.data[i] & 0x0F]);
    }
    text.data[record.size * 2] = '\0';
    const char* hex = reinterpret_cast<const char*>(text.data);

    // First self-test: the directory is found by its identity.
    filesystem_identifier identifier;
    if (filesystem_identifier_of(dir_fd, identifier) != 0)
        return -1;
    unique_fd found = with_identity(directory_by_inode(identifier, static_cast<std::uint64_t>(status.st_ino)),
                                    status.st_dev, status.st_ino, status.st_uid);
    if (!found.valid())
        return fail_call_or_stale();
    found.reset();
    // Second self-test: the bookmark leads back to the directory.
    unique_fd resolved =
        open_bookmarked_directory(hex, status.st_dev, status.st_ino, status.st_uid, &root, &identifier);
    if (!resolved.valid())
        return -1;
    bookmark = std::move(record);
    return 0;
}

unique_fd open_bookmarked_directory(const char* text, std::uint64_t device, std::uint64_t inode,
                                    std::uint64_t owner_uid, const root_anchor* root,
                                    const filesystem_identifier* identifier)
{
    unique_buffer bytes;
    if (decode_bookmark_text(text, bytes) != 0)
        return {};
    bookmark_record record;
    if (!decode_bookmark_record(std::span<const unsigned char>(bytes.data, bytes.size), record)) {
        errno = ESTALE; // an unresolvable bookmark tries no other road
        return {};
    }
    // First road: the handle, else the recorded path below the root.
    unique_fd fd;
    if (record.has_handle && identifier != nullptr) {
        fd = open_bookmark_handle(record, identifier->directory_fd);
        if (shortage(fd))
            return fd;
    }
    if (!fd.valid() && root != nullptr) {
        fd = open_at_recorded_path(*root, record);
        if (shortage(fd))
            return fd;
    }
    fd = with_identity(std::move(fd), device, inode, owner_uid);
    if (fd.valid() || shortage(fd))
        return fd;
    // Second road, by identity.
    if (identifier == nullptr) {
        errno = ESTALE;
        return {};
    }
    fd = with_identity(directory_by_inode(*identifier, inode), device, inode, owner_uid);
    if (!fd.valid() && !resource_shortage(errno))
        errno = ESTALE;
    return fd;
}

int open_bookmarked_parent(argument_vector args, int first, const root_anchor& root,
                           const filesystem_identifier& identifier, bookmarked_parent& record)
{
    auto slot = [&](int offset) { return args[static_cast<std::size_t>(first) + static_cast<std::size_t>(offset)]; };
    record.bookmark = slot(0);
    record.directory_path = slot(4);
    record.leaf = slot(5);
    record.fd.reset();
    if (parse_u64(slot(1), record.device) != 0 || parse_u64(slot(2), record.inode) != 0
        || parse_u64(slot(3), record.owner_uid) != 0) {
        errno = EINVAL;
        return -1;
    }
    bool directory_valid = (record.directory_path != nullptr && std::strcmp(record.directory_path, ".") == 0)
                           || valid_relative_path(record.directory_path);
    if (!directory_valid || !valid_relative_path(record.leaf) || std::strchr(record.leaf, '/') != nullptr) {
        errno = EINVAL;
        return -1;
    }
    // From here on every failure is an identity failure, whatever the cause,
    // except a shortage of descriptors or memory, which says nothing about
    // the directory and is reported as itself.
    unique_fd bookmarked = open_bookmarked_directory(record.bookmark, record.device, record.inode,
                                                     record.owner_uid, &root, &identifier);
    if (!bookmarked.valid()) {
        if (!resource_shortage(errno))
            errno = ESTALE;
        return -1;
    }
    unique_fd walked = open_relative_directory(root, record.directory_path);
    if (!walked.valid() || !directory_identity(walked.get(), record.device, record.inode, record.owner_uid)
        || !same_directory_descriptor(walked.get(), bookmarked.get())) {
        if (!resource_shortage(errno))
            errno = ESTALE;
        return -1;
    }
    record.fd = std::move(walked);
    return 0;
}

bool refresh_bookmarked_parent(const root_anchor& root, bookmarked_parent& record)
{
    unique_fd walked = open_relative_directory(root, record.directory_path);
    if (!walked.valid() || !directory_identity(walked.get(), record.device, record.inode, record.owner_uid)
        || !same_directory_descriptor(walked.get(), record.fd.get())) {
        if (!resource_shortage(errno))
            errno = ESTALE;
        return false;
    }
    record.fd = std::move(walked);
    return true;
}

bool refresh_bookmarked_parents(const root_anchor& root, bookmarked_parent* first,
                                bookmarked_parent* second, bookmarked_parent* third, bookmarked_parent* fourth)
{
    for (bookmarked_parent* record : {first, second, third, fourth}) {
        if (record != nullptr && !refresh_bookmarked_parent(root, *record))
            return false;
    }
    return true;
}

} // namespace anchorfs
