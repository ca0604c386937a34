// Fuzz target: the four argument-form functions against slow, independently
// written reference checkers. Any disagreement, and any read past the text's
// terminator (the text sits in a heap block of exactly its size), stops the run.

#include "core/argument_forms.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void disagree(const char* what, std::string_view text)
{
    std::fprintf(stderr, "argument_forms: %s disagrees with the reference on %zu bytes:", what, text.size());
    for (unsigned char c : text)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// ---- references ----

bool reference_blank(char c)
{
    return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos;
}

bool reference_digit(char c)
{
    return std::string_view("0123456789").find(c) != std::string_view::npos;
}

enum class number_outcome { value, malformed, out_of_range };

// The unsigned decimal form: blanks, an optional plus, digits, nothing else.
// A run of digits above 2^64-1 is out of range even when junk follows it, as
// the conversion reports it before the caller looks at the rest.
number_outcome reference_u64(std::string_view text, std::uint64_t& value)
{
    std::size_t i = 0;
    while (i < text.size() && reference_blank(text[i]))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i;
    std::size_t digits_start = i;
    while (i < text.size() && reference_digit(text[i]))
        ++i;
    std::string digits(text.substr(digits_start, i - digits_start));
    if (digits.empty())
        return number_outcome::malformed;
    // Compare as decimal strings: strip leading zeros, then length and text.
    std::size_t first = digits.find_first_not_of('0');
    std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    const std::string largest = "18446744073709551615";
    if (significant.size() > largest.size() || (significant.size() == largest.size() && significant > largest))
        return number_outcome::out_of_range;
    if (i != text.size())
        return number_outcome::malformed;
    value = 0;
    for (char c : significant)
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return number_outcome::value;
}

bool reference_lower_hex(char c)
{
    return std::string_view("0123456789abcdef").find(c) != std::string_view::npos;
}

bool reference_sha256(std::string_view text)
{
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!reference_lower_hex(c))
            return false;
    return true;
}

bool reference_quarantine_leaf(std::string_view text)
{
    constexpr std::string_view prefix = ".vor-native-quarantine-";
    if (text.size() != prefix.size() + 32 || text.substr(0, prefix.size()) != prefix)
        return false;
    for (char c : text.substr(prefix.size()))
        if (!reference_lower_hex(c))
            return false;
    return true;
}

// Encodes a code point the one canonical way; a sequence is well-formed
// exactly when re-encoding what it decodes to gives back the same bytes.
std::string encode_utf8(std::uint32_t c)
{
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Splits text into code points; false when it is not well-formed UTF-8.
bool reference_decode(std::string_view text, std::vector<std::uint32_t>& code_points)
{
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t count = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (count == 0 || i + count > text.size())
            return false;
        std::uint32_t c = count == 1 ? lead : count == 2 ? (lead & 0x1F) : count == 3 ? (lead & 0x0F) : (lead & 0x07);
        for (std::size_t k = 1; k < count; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if (next < 0x80 || next > 0xBF)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || encode_utf8(c) != text.substr(i, count))
            return false;
        code_points.push_back(c);
        i += count;
    }
    return true;
}

bool reference_refused(std::uint32_t c)
{
    struct range {
        std::uint32_t low, high;
    };
    static constexpr range refused[] = {{0x0000, 0x001F}, {0x005C, 0x005C}, {0x007F, 0x009F}, {0x200B, 0x200F},
                                        {0x202A, 0x202E}, {0x2060, 0x206F}, {0xFEFF, 0xFEFF}};
    for (const range& r : refused)
        if (c >= r.low && c <= r.high)
            return true;
    return false;
}

bool reference_relative_path(std::string_view text)
{
    if (text.empty() || text.size() > 4096 || text.front() == '/' || text.back() == '/')
        return false;
    std::vector<std::uint32_t> code_points;
    if (!reference_decode(text, code_points))
        return false;
    for (std::uint32_t c : code_points)
        if (reference_refused(c))
            return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = text.find('/', start);
        std::string_view component = text.substr(start, slash == std::string_view::npos ? text.npos : slash - start);
        if (component.empty() || component == "." || component == ".." || component.size() > 255)
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

// The text as the program sees a command-line slot: a heap block holding the
// bytes up to the first zero and the terminator, nothing more.
struct c_text {
    char* data;
    std::string_view view;
    explicit c_text(std::string_view bytes)
    {
        std::size_t length = std::min(bytes.size(), bytes.find('\0'));
        data = static_cast<char*>(std::malloc(length + 1));
        std::memcpy(data, bytes.data(), length);
        data[length] = '\0';
        view = std::string_view(data, length);
    }
    ~c_text() { std::free(data); }
    c_text(const c_text&) = delete;
    c_text& operator=(const c_text&) = delete;
};

void check_number(const c_text& text)
{
    constexpr std::uint64_t untouched = 0x5a5a5a5a5a5a5a5aULL;
    constexpr int sentinel_errno = 12345;
    std::uint64_t value = untouched;
    errno = sentinel_errno;
    int result = anchorfs::parse_u64(text.data, value);
    int left = errno;

    std::uint64_t expected_value = 0;
    number_outcome expected = reference_u64(text.view, expected_value);
    bool refused_early = text.view.empty() || text.view.front() == '-';
    if (expected == number_outcome::value) {
        if (result != 0 || value != expected_value)
            disagree("parse_u64 (value)", text.view);
        return;
    }
    if (result != -1 || value != untouched)
        disagree("parse_u64 (refusal)", text.view);
    if (refused_early) {
        if (left != sentinel_errno)
            disagree("parse_u64 (errno kept for early refusal)", text.view);
    } else if (left != (expected == number_outcome::out_of_range ? ERANGE : 0)) {
        disagree("parse_u64 (errno)", text.view);
    }
}

void check_bounded_number(const c_text& text, std::uint64_t limit)
{
    std::uint64_t value = 0;
    std::uint64_t expected_value = 0;
    bool accepted = anchorfs::parse_u64_at_most(text.data, limit, value) == 0;
    bool expected = reference_u64(text.view, expected_value) == number_outcome::value && expected_value <= limit;
    if (accepted != expected || (accepted && value != expected_value))
        disagree("parse_u64_at_most", text.view);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    c_text text(bytes);

    check_number(text);
    if (size > 0)
        check_bounded_number(text, data[0] * 1000003ULL);

    errno = 777;
    if (anchorfs::valid_sha256_hex(text.data) != reference_sha256(text.view))
        disagree("valid_sha256_hex", text.view);
    if (anchorfs::valid_relative_path(text.data) != reference_relative_path(text.view))
        disagree("valid_relative_path", text.view);
    if (anchorfs::valid_durable_quarantine_leaf(text.data) != reference_quarantine_leaf(text.view))
        disagree("valid_durable_quarantine_leaf", text.view);
    if (errno != 777)
        disagree("a predicate changed errno", text.view);

    // An absent text is refused by all of them.
    std::uint64_t ignored = 0;
    if (anchorfs::parse_u64(nullptr, ignored) != -1 || anchorfs::valid_sha256_hex(nullptr)
        || anchorfs::valid_relative_path(nullptr) || anchorfs::valid_durable_quarantine_leaf(nullptr))
        disagree("absent text", text.view);
    return 0;
}
