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

// Opens a path as a directory and accepts it only with the expected identity.
unique_fd open_with_identity(const char* path, std::uint64_t device, std::uint64_t inode, std::uint64_t owner_uid)
{
    unique_fd fd = open_directory_path(path);
    if (!fd.valid())
        return fd;
    errno = 0;
    if (!directory_identity(fd.get(), device, inode, owner_uid))
        return {};
    return fd;
}

} // namespace

int create_directory_bookmark(int dir_fd, const struct stat& status, unique_buffer& bookmark)
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
    static char path[full_path_capacity];
    if (path_by_inode(identifier, static_cast<std::uint64_t>(status.st_ino), path) != 0)
        return -1;
    unique_fd found = open_with_identity(path, status.st_dev, status.st_ino, status.st_uid);
    if (!found.valid())
        return fail_call_or_stale();
    // Second self-test: the bookmark leads back to the directory.
    unique_fd resolved = open_bookmarked_directory(hex, status.st_dev, status.st_ino, status.st_uid, &identifier);
    if (!resolved.valid())
        return -1;
    bookmark = std::move(record);
    return 0;
}

unique_fd open_bookmarked_directory(const char* text, std::uint64_t device, std::uint64_t inode,
                                    std::uint64_t owner_uid, const filesystem_identifier* identifier)
{
    unique_buffer bytes;
    if (decode_bookmark_text(text, bytes) != 0)
        return {};
    static char path[full_path_capacity];
    if (resolve_bookmark_record(std::span<const unsigned char>(bytes.data, bytes.size), identifier, path) != 0) {
        errno = ESTALE; // an unresolvable bookmark tries no other road
        return {};
    }
    unique_fd fd = open_with_identity(path, device, inode, owner_uid);
    if (fd.valid())
        return fd;
    // Second road, by identity.
    if (identifier == nullptr || path_by_inode(*identifier, inode, path) != 0) {
        errno = ESTALE;
        return {};
    }
    fd = open_with_identity(path, device, inode, owner_uid);
    if (!fd.valid())
        fail_call_or_stale();
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
    // From here on every failure is an identity failure, whatever the cause.
    unique_fd bookmarked =
        open_bookmarked_directory(record.bookmark, record.device, record.inode, record.owner_uid, &identifier);
    if (!bookmarked.valid()) {
        errno = ESTALE;
        return -1;
    }
    unique_fd walked = open_relative_directory(root, record.directory_path);
    if (!walked.valid() || !directory_identity(walked.get(), record.device, record.inode, record.owner_uid)
        || !same_directory_descriptor(walked.get(), bookmarked.get())) {
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
