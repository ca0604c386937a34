#include "core/result_line.hpp"

#include "platform/decimal_text.hpp"
#include "platform/stream_io.hpp"

#include <cerrno>
#include <cstddef>
#include <unistd.h>

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

namespace {

// The line is built in the run's one fixed buffer and written out whenever it
// fills (only a long bookmark does), so no stdio stream stands between the
// line and the check of its delivery.
struct line_writer {
    static constexpr std::size_t capacity = 4096;
    char* text;
    std::size_t used = 0;
    int failed = 0;

    line_writer() : text(storage()) {}
    static char* storage()
    {
        static char buffer[capacity];
        return buffer;
    }
    void flush()
    {
        if (failed == 0 && used > 0 && write_whole(STDOUT_FILENO, text, used) != 0)
            failed = errno;
        used = 0;
    }
    void put(char c)
    {
        if (used == capacity)
            flush();
        text[used++] = c;
    }
    void put(const char* piece)
    {
        while (*piece != '\0')
            put(*piece++);
    }
    void number(unsigned long long value)
    {
        char digits[decimal_digits_max];
        std::size_t count = decimal_digits(value, digits);
        for (std::size_t i = 0; i < count; ++i)
            put(digits[i]);
    }
    void quoted_number(unsigned long long value)
    {
        put('"');
        number(value);
        put('"');
    }
    // "device":"D","inode":"I","uid":"U"
    void identity(const struct stat& status)
    {
        put("\"device\":");
        quoted_number(status.st_dev);
        put(",\"inode\":");
        quoted_number(status.st_ino);
        put(",\"uid\":");
        quoted_number(status.st_uid);
    }
    int finish()
    {
        flush();
        if (failed == 0)
            return 0;
        errno = failed;
        return -1;
    }
};

} // namespace

int print_failure_line(const char* code, int error)
{
    line_writer line;
    line.put("{\"ok\":false,\"code\":\"");
    line.put(code);
    line.put("\",\"errno\":");
    if (error < 0) {
        line.put('-');
        line.number(0ULL - static_cast<unsigned long long>(error));
    } else {
        line.number(static_cast<unsigned long long>(error));
    }
    line.put("}\n");
    return line.finish();
}

int print_plain_line()
{
    line_writer line;
    line.put("{\"ok\":true}\n");
    return line.finish();
}

int print_size_line(std::uint64_t size)
{
    line_writer line;
    line.put("{\"ok\":true,\"size\":");
    line.quoted_number(size);
    line.put("}\n");
    return line.finish();
}

int print_directory_line(const struct stat& status)
{
    line_writer line;
    line.put("{\"ok\":true,");
    line.identity(status);
    line.put(",\"mode\":");
    line.quoted_number(status.st_mode);
    line.put("}\n");
    return line.finish();
}

int print_bookmark_line(std::span<const unsigned char> bookmark, const struct stat& status)
{
    static constexpr char digits[] = "0123456789abcdef";
    line_writer line;
    line.put("{\"ok\":true,\"bookmark\":\"");
    for (unsigned char byte : bookmark) {
        line.put(digits[byte >> 4]);
        line.put(digits[byte & 0x0F]);
    }
    line.put("\",");
    line.identity(status);
    line.put("}\n");
    return line.finish();
}

int print_content(std::span<const unsigned char> content)
{
    return write_whole(STDOUT_FILENO, content.data(), content.size());
}

int print_success(const success_output& success)
{
    const std::span<const unsigned char> bytes(success.bytes.data, success.bytes.size);
    switch (success.shape) {
    case success_shape::plain: break;
    case success_shape::size_and_content:
        if (print_size_line(bytes.size()) != 0)
            return -1;
        return print_content(bytes);
    case success_shape::directory: return print_directory_line(success.status);
    case success_shape::bookmark: return print_bookmark_line(bytes, success.status);
    }
    return print_plain_line();
}

} // namespace anchorfs
