#include "protocol/result_line.hpp"

#include <cerrno>
#include <cstdio>

namespace anchorfs {

const char* errno_code(int error)
{
    switch (error) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case E2BIG: return "E2BIG";
    case EACCES: return "EACCES";
    case EEXIST: return "EEXIST";
    case EXDEV: return "EXDEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case ELOOP: return "ELOOP";
    case ENOTEMPTY: return "ENOTEMPTY";
    default: return "FILESYSTEM_ERROR";
    }
}

void print_failure_line(const char* code, int error)
{
    std::printf("{\"ok\":false,\"code\":\"%s\",\"errno\":%d}\n", code, error);
}

void print_plain_line()
{
    std::fputs("{\"ok\":true}\n", stdout);
}

void print_size_line(std::uint64_t size)
{
    std::printf("{\"ok\":true,\"size\":\"%llu\"}\n", static_cast<unsigned long long>(size));
}

void print_directory_line(const struct stat& status)
{
    std::printf("{\"ok\":true,\"device\":\"%llu\",\"inode\":\"%llu\",\"uid\":\"%llu\",\"mode\":\"%llu\"}\n",
                static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino),
                static_cast<unsigned long long>(status.st_uid),
                static_cast<unsigned long long>(status.st_mode));
}

void print_bookmark_line(std::span<const unsigned char> bookmark, const struct stat& status)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::fputs("{\"ok\":true,\"bookmark\":\"", stdout);
    for (unsigned char byte : bookmark) {
        std::putchar(digits[byte >> 4]);
        std::putchar(digits[byte & 0x0F]);
    }
    std::printf("\",\"device\":\"%llu\",\"inode\":\"%llu\",\"uid\":\"%llu\"}\n",
                static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino),
                static_cast<unsigned long long>(status.st_uid));
}

} // namespace anchorfs
