// The recovery driver: opens a bookmarked directory from a bookmark text that
// no argument vector can carry (Linux limits one argument to 131071
// characters, the bookmark form allows 131072).
//
//   recovery_driver open-bookmarked-directory PIECE REPEAT DEVICE INODE UID
//
// The text is PIECE repeated REPEAT times. Prints "ok" or "errno N" and
// returns 0; 99 for a malformed call.

#include "anchor/bookmarks.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 7 || std::strcmp(argv[1], "open-bookmarked-directory") != 0)
        return 99;
    std::string text;
    const unsigned long repeat = std::strtoul(argv[3], nullptr, 10);
    for (unsigned long i = 0; i < repeat; ++i)
        text += argv[2];
    errno = 0;
    anchorfs::unique_fd fd = anchorfs::open_bookmarked_directory(text.c_str(), std::strtoull(argv[4], nullptr, 10),
                                                 std::strtoull(argv[5], nullptr, 10),
                                                 std::strtoull(argv[6], nullptr, 10), nullptr, nullptr);
    if (fd.valid()) {
        fd.reset();
        std::printf("ok\n");
    } else {
        std::printf("errno %d\n", errno);
    }
    return 0;
}
