#include "platform/listing_positions.hpp"

#include <sys/statfs.h>
#include <sys/utsname.h>

namespace anchorfs {

namespace {

constexpr std::int64_t ext_magic = 0xEF53; // ext2, ext3 and ext4 alike
constexpr std::int64_t xfs_magic = 0x58465342;
constexpr std::int64_t btrfs_magic = 0x9123683E;
constexpr std::int64_t tmpfs_magic = 0x01021994;

// The leading decimal number of `text`, consumed; false when there is none.
bool take_number(std::string_view& text, unsigned& number)
{
    std::size_t digits = 0;
    number = 0;
    while (digits < text.size() && digits < 6 && text[digits] >= '0' && text[digits] <= '9')
        number = number * 10 + static_cast<unsigned>(text[digits++] - '0');
    text.remove_prefix(digits);
    return digits > 0;
}

// The release's major and minor number ("6.1.0-18-amd64" is 6 and 1).
bool release_at_least(std::string_view release, unsigned major, unsigned minor)
{
    unsigned got_major = 0;
    unsigned got_minor = 0;
    if (!take_number(release, got_major) || release.empty() || release.front() != '.')
        return false;
    release.remove_prefix(1);
    if (!take_number(release, got_minor))
        return false;
    return got_major > major || (got_major == major && got_minor >= minor);
}

} // namespace

bool listing_positions_stable(std::int64_t fs_magic, std::string_view kernel_release)
{
    switch (fs_magic) {
    case ext_magic:
    case xfs_magic:
    case btrfs_magic:
        return true;
    case tmpfs_magic:
        return release_at_least(kernel_release, 6, 6);
    default:
        return false;
    }
}

bool listing_positions_stable_for(int dir_fd)
{
    struct statfs filesystem;
    struct utsname kernel;
    if (::fstatfs(dir_fd, &filesystem) != 0 || ::uname(&kernel) != 0)
        return false;
    return listing_positions_stable(static_cast<std::int64_t>(static_cast<std::uint32_t>(filesystem.f_type)), kernel.release);
}

} // namespace anchorfs
