#include "core/argument_forms.hpp"

#include <cerrno>
#include <cstring>

namespace anchorfs {

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int parse_u64(const char* text, std::uint64_t& value)
{
    if (text == nullptr || text[0] == '\0' || text[0] == '-')
        return -1;
    errno = 0;
    const char* p = text;
    while (is_blank(*p))
        ++p;
    if (*p == '-')
        return -1;
    if (*p == '+')
        ++p;
    if (*p < '0' || *p > '9')
        return -1;
    std::uint64_t result = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
        if (result > (UINT64_MAX - digit) / 10)
            overflow = true;
        else
            result = result * 10 + digit;
    }
    if (overflow) {
        errno = ERANGE;
        return -1;
    }
    if (*p != '\0')
        return -1;
    value = result;
    return 0;
}

int parse_u64_at_most(const char* text, std::uint64_t limit, std::uint64_t& value)
{
    std::uint64_t parsed;
    if (parse_u64(text, parsed) != 0)
        return -1;
    if (parsed > limit) {
        errno = EINVAL;
        return -1;
    }
    value = parsed;
    return 0;
}

int parse_file_identity(argument_vector args, int first, file_identity& identity)
{
    std::uint64_t* fields[] = {&identity.device, &identity.inode, &identity.link_count,
                               &identity.owner_uid, &identity.mode};
    for (int i = 0; i < 5; ++i) {
        if (parse_u64(args[static_cast<std::size_t>(first) + static_cast<std::size_t>(i)], *fields[i]) != 0)
            return -1;
    }
    return 0;
}

int parse_file_description(argument_vector args, int first, exact_file_description& description)
{
    if (parse_file_identity(args, first, description.identity) != 0)
        return -1;
    if (parse_u64(args[static_cast<std::size_t>(first) + 5], description.size) != 0)
        return -1;
    if (parse_u64(args[static_cast<std::size_t>(first) + 6], description.modified_ns) != 0)
        return -1;
    const char* digest = args[static_cast<std::size_t>(first) + 7];
    if (!valid_sha256_hex(digest)) {
        errno = 0; // reported as EINVAL by the front end
        return -1;
    }
    description.digest = digest;
    return 0;
}

static bool is_lower_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool valid_sha256_hex(const char* text)
{
    if (text == nullptr)
        return false;
    for (int i = 0; i < 64; ++i) {
        if (!is_lower_hex(text[i]))
            return false; // also stops at the terminator of a short text
    }
    return text[64] == '\0';
}

static bool refused_code_point(std::uint32_t c)
{
    return c <= 0x1F || c == 0x5C || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F)
           || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF;
}

// Decodes one UTF-8 sequence at text[i] of a text of `length` bytes; returns
// its byte count, or 0 when it is malformed.
static std::size_t decode_utf8(const unsigned char* text, std::size_t i, std::size_t length,
                               std::uint32_t& code_point)
{
    unsigned char lead = text[i];
    std::size_t count;
    std::uint32_t minimum;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2;
        minimum = 0x80;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3;
        minimum = 0x800;
        code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4;
        minimum = 0x10000;
        code_point = lead & 0x07;
    } else {
        return 0;
    }
    if (count > length - i)
        return 0;
    for (std::size_t k = 1; k < count; ++k) {
        unsigned char next = text[i + k];
        if ((next & 0xC0) != 0x80)
            return 0;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < minimum || code_point > 0x10FFFF)
        return 0;
    if (code_point >= 0xD800 && code_point <= 0xDFFF)
        return 0;
    return count;
}

static bool dot_component(const unsigned char* start, std::size_t length)
{
    return (length == 1 && start[0] == '.') || (length == 2 && start[0] == '.' && start[1] == '.');
}

bool valid_relative_path(const char* text)
{
    if (text == nullptr || text[0] == '\0' || text[0] == '/')
        return false;
    std::size_t length = ::strnlen(text, relative_path_limit + 1);
    if (length > relative_path_limit || text[length - 1] == '/')
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t component = 0;
    std::size_t i = 0;
    while (i < length) {
        if (bytes[i] == '/') {
            if (component == 0 || dot_component(bytes + i - component, component))
                return false;
            component = 0;
            ++i;
            continue;
        }
        std::uint32_t code_point;
        std::size_t count = decode_utf8(bytes, i, length, code_point);
        if (count == 0 || refused_code_point(code_point))
            return false;
        component += count;
        if (component > 255)
            return false;
        i += count;
    }
    return component != 0 && !dot_component(bytes + length - component, component);
}

bool valid_durable_quarantine_leaf(const char* text)
{
    static constexpr char prefix[] = ".vor-native-quarantine-";
    constexpr std::size_t prefix_length = sizeof prefix - 1;
    if (text == nullptr || std::strncmp(text, prefix, prefix_length) != 0)
        return false;
    for (std::size_t i = prefix_length; i < prefix_length + 32; ++i) {
        if (!is_lower_hex(text[i]))
            return false;
    }
    return text[prefix_length + 32] == '\0';
}

} // namespace anchorfs
