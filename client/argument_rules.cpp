// The argument rules the helper refuses by, checked before it is started so
// that a caller's mistake is named by its rule instead of a bare EINVAL.

#include "invocation.hpp"

#include <cstdint>

namespace anchorfs::client::detail {

namespace {

constexpr std::size_t max_path_bytes = 4096;
constexpr std::size_t max_component_bytes = 255;

// Decodes one well-formed UTF-8 sequence at text[i]; 0 when it is malformed
// (overlong, a surrogate, above U+10FFFF, cut short).
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& code_point)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t count = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (count == 0 || i + count > text.size())
        return 0;
    code_point = count == 1 ? lead : lead & (0x7F >> count);
    for (std::size_t k = 1; k < count; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code_point = (code_point << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < least[count] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
        return 0;
    return count;
}

const char* character_refusal(std::uint32_t c)
{
    if (c <= 0x1F || (c >= 0x7F && c <= 0x9F))
        return "a control character";
    if (c == 0x5C)
        return "a backslash";
    if ((c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF)
        return "a zero-width or direction-changing character";
    return nullptr;
}

} // namespace

const char* path_refusal(std::string_view text)
{
    if (text.empty())
        return "empty: a path names an entry below the root";
    if (text.front() == '/')
        return "absolute: paths are relative to the root";
    if (text.back() == '/')
        return "a trailing /";
    if (text.size() > max_path_bytes)
        return "longer than 4096 bytes";
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view component = text.substr(start, end - start);
        if (component.empty())
            return "an empty component (//)";
        if (component == "." || component == "..")
            return "a . or .. component: paths may not leave or name the directory they are in";
        if (component.size() > max_component_bytes)
            return "a component over 255 bytes";
        start = end + 1;
    }
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t c = 0;
        const std::size_t count = decode_utf8(text, i, c);
        if (count == 0)
            return "not well-formed UTF-8";
        if (const char* rule = character_refusal(c))
            return rule;
        i += count;
    }
    return nullptr;
}

} // namespace anchorfs::client::detail
