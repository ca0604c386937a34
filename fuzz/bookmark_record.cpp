// Fuzz target: directory bookmarks from untrusted bytes. The input is used as a
// raw record (decode_bookmark_record, and the part of its recorded path below
// the scratch root), hex-encoded as bookmark text, and as bookmark text itself
// (open_bookmarked_directory, with and without the root and a file-system
// identifier). Nothing may crash or read outside its input, the part below the
// root must be a terminated relative path, and an opened directory must have
// the identity that was asked for.

#include "anchor/bookmarks.hpp"
#include "anchor/root_anchor.hpp"
#include "platform/bookmark.hpp"
#include "platform/descriptor_path.hpp"
#include "scratch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bookmark_record: %s\n", what);
    std::abort();
}

struct bookmark_setting {
    int directory_fd = -1;           // scratch root/a, the directory the identity names
    struct stat status {};           // its status
    anchorfs::filesystem_identifier identifier;
    anchorfs::root_anchor root;      // the scratch root, opened and proven
    anchorfs::unique_fd root_fd;
};

const bookmark_setting& setting()
{
    static bookmark_setting made = [] {
        bookmark_setting s;
        const fuzz::scratch_area& area = fuzz::scratch();
        fuzz::reset_tree(area.root_fd);
        s.directory_fd = ::openat(area.root_fd, "a", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (s.directory_fd < 0 || ::fstat(s.directory_fd, &s.status) != 0)
            fail("cannot open the scratch directory");
        if (anchorfs::filesystem_identifier_of(area.root_fd, s.identifier) != 0)
            fail("no file-system identifier for the scratch root");
        struct stat root_status;
        if (::fstat(area.root_fd, &root_status) != 0)
            fail("cannot look at the scratch root");
        s.root.path = area.root.c_str();
        s.root.device = static_cast<std::uint64_t>(root_status.st_dev);
        s.root.inode = static_cast<std::uint64_t>(root_status.st_ino);
        s.root.owner_uid = static_cast<std::uint64_t>(root_status.st_uid);
        s.root_fd = anchorfs::open_root(s.root);
        if (!s.root_fd.valid())
            fail("cannot anchor the scratch root");
        s.root.fd = s.root_fd.get();
        return s;
    }();
    return made;
}

void check_below(bool below, const char* relative)
{
    if (!below)
        return;
    const void* end = std::memchr(relative, '\0', anchorfs::full_path_capacity);
    if (end == nullptr || relative[0] == '/' || relative[0] == '\0')
        fail("the part below the root is not a terminated relative path");
}

void check_opened(const anchorfs::unique_fd& fd, const bookmark_setting& s)
{
    if (!fd.valid())
        return;
    struct stat status;
    if (::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_dev != s.status.st_dev
        || status.st_ino != s.status.st_ino || status.st_uid != s.status.st_uid)
        fail("an opened bookmark is not the directory with the asked identity");
}

std::string hex_of(const std::uint8_t* data, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bookmark_setting& s = setting();

    // A heap copy of exactly the input, so any read past it is caught.
    std::vector<unsigned char> record(data, data + size);
    std::span<const unsigned char> bytes(record.data(), record.size());
    anchorfs::bookmark_record decoded;
    if (anchorfs::decode_bookmark_record(bytes, decoded)) {
        static char relative[anchorfs::full_path_capacity];
        check_below(anchorfs::recorded_path_below(decoded, s.root.path, relative), relative);
    }

    auto device = static_cast<std::uint64_t>(s.status.st_dev);
    auto inode = static_cast<std::uint64_t>(s.status.st_ino);
    auto uid = static_cast<std::uint64_t>(s.status.st_uid);
    std::string hex = hex_of(data, size);
    check_opened(anchorfs::open_bookmarked_directory(hex.c_str(), device, inode, uid, &s.root, &s.identifier), s);
    check_opened(anchorfs::open_bookmarked_directory(hex.c_str(), device, inode, uid, nullptr, nullptr), s);

    // The input as bookmark text: a heap block ending at its terminator.
    std::size_t length = std::min(size, static_cast<std::size_t>(
                                            std::find(data, data + size, std::uint8_t{0}) - data));
    std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), data, length);
    text[length] = '\0';
    check_opened(anchorfs::open_bookmarked_directory(text.get(), device, inode, uid, &s.root, &s.identifier), s);
    return 0;
}
