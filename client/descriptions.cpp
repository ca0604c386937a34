// Filling requests in from the file system: file descriptions, root anchors
// and fresh durable quarantine leaves. SHA-256 comes from Nettle, as in the
// helper, so both sides hash alike.

#include "anchorfs/client.hpp"
#include "invocation.hpp"
#include "platform/owners.hpp"

#include <cerrno>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace anchorfs::client {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

std::string to_hex(const unsigned char* bytes, std::size_t count)
{
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(hex_digits[bytes[i] >> 4]);
        text.push_back(hex_digits[bytes[i] & 0x0F]);
    }
    return text;
}

// The status fields that a description depends on, plus the change time:
// a file whose status differs in any of them was changed while it was read.
bool same_while_hashed(const struct stat& before, const struct stat& after)
{
    return before.st_dev == after.st_dev && before.st_ino == after.st_ino && before.st_nlink == after.st_nlink
           && before.st_uid == after.st_uid && before.st_mode == after.st_mode && before.st_size == after.st_size
           && before.st_mtim.tv_sec == after.st_mtim.tv_sec && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec
           && before.st_ctim.tv_sec == after.st_ctim.tv_sec && before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

DescribeFileResult describe_failure(int error)
{
    DescribeFileResult result;
    result.error = error;
    return result;
}

FileIdentity identity_of(const struct stat& status)
{
    FileIdentity identity;
    identity.device = static_cast<std::uint64_t>(status.st_dev);
    identity.inode = static_cast<std::uint64_t>(status.st_ino);
    identity.link_count = static_cast<std::uint64_t>(status.st_nlink);
    identity.uid = static_cast<std::uint64_t>(status.st_uid);
    identity.mode = static_cast<std::uint64_t>(status.st_mode);
    return identity;
}

std::uint64_t mtime_ns_of(const struct stat& status)
{
    return static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000ULL
           + static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
}

} // namespace

DescribeFileResult describe_file(int fd)
{
    struct stat before;
    if (::fstat(fd, &before) != 0)
        return describe_failure(errno);
    if (!S_ISREG(before.st_mode))
        return describe_failure(EINVAL);
    if (before.st_size < 0 || static_cast<std::uint64_t>(before.st_size) > max_content_size)
        return describe_failure(EFBIG);
    if (before.st_mtim.tv_sec < 0)
        return describe_failure(ERANGE);

    sha256_ctx context;
    sha256_init(&context);
    const std::uint64_t size = static_cast<std::uint64_t>(before.st_size);
    std::uint64_t offset = 0;
    unsigned char buffer[65536];
    // One read past the size must find the end: a file that grew is refused.
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return describe_failure(errno);
        }
        if (n == 0)
            break;
        offset += static_cast<std::uint64_t>(n);
        if (offset > size)
            return describe_failure(ESTALE);
        sha256_update(&context, static_cast<std::size_t>(n), buffer);
    }
    if (offset != size)
        return describe_failure(ESTALE);
    struct stat after;
    if (::fstat(fd, &after) != 0)
        return describe_failure(errno);
    if (!same_while_hashed(before, after))
        return describe_failure(ESTALE);

    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    DescribeFileResult result;
    result.description.identity = identity_of(after);
    result.description.size = size;
    result.description.mtime_ns = mtime_ns_of(after);
    result.description.sha256 = to_hex(digest, sizeof digest);
    return result;
}

DescribeFileResult describe_file_at(int dir_fd, const std::string& path)
{
    unique_fd fd(::openat(dir_fd, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return describe_failure(errno);
    return describe_file(fd.get());
}

IdentityResult identity_at(int dir_fd, const std::string& path)
{
    IdentityResult result;
    struct stat status;
    if (::fstatat(dir_fd, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        result.error = errno;
    else if (!S_ISREG(status.st_mode))
        result.error = EINVAL;
    else
        result.identity = identity_of(status);
    return result;
}

namespace detail {

int describe_created(const RootAnchor& root, const std::string& path, std::string_view content,
                     FileDescription& description)
{
    unique_fd at(::open(root.path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (!at.valid() || ::fstat(at.get(), &status) != 0)
        return errno;
    if (static_cast<std::uint64_t>(status.st_dev) != root.device || static_cast<std::uint64_t>(status.st_ino) != root.inode
        || static_cast<std::uint64_t>(status.st_uid) != root.uid)
        return ESTALE;
    std::size_t start = 0;
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', start)) {
        const std::string name = path.substr(start, slash - start);
        unique_fd next(::openat(at.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return errno;
        at = std::move(next);
        start = slash + 1;
    }
    if (::fstatat(at.get(), path.c_str() + start, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != content.size())
        return ESTALE; // another process replaced it since
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, content.size(), reinterpret_cast<const std::uint8_t*>(content.data()));
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    description.identity = identity_of(status);
    description.size = content.size();
    description.mtime_ns = mtime_ns_of(status);
    description.sha256 = to_hex(digest, sizeof digest);
    return 0;
}

} // namespace detail

AnchorRootResult anchor_root(const std::string& path)
{
    AnchorRootResult result;
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() && errno == ENOTDIR && ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        result.error = ELOOP; // as the helper reports a root that is a symbolic link
        return result;
    }
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        result.error = errno;
        return result;
    }
    result.root.path = path;
    result.root.device = static_cast<std::uint64_t>(status.st_dev);
    result.root.inode = static_cast<std::uint64_t>(status.st_ino);
    result.root.uid = static_cast<std::uint64_t>(status.st_uid);
    return result;
}

QuarantineLeafResult new_quarantine_leaf()
{
    QuarantineLeafResult result;
    unsigned char bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result.error = errno;
            return result;
        }
        filled += static_cast<std::size_t>(n);
    }
    result.leaf = ".vor-native-quarantine-" + to_hex(bytes, sizeof bytes);
    return result;
}

} // namespace anchorfs::client
