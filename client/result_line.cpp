// Believing the helper only as far as the protocol allows: one flat JSON
// object on one line, in one of five shapes, with an exit status that
// belongs to it and nothing after it except the bytes a size line announced.

#include "invocation.hpp"

#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/stat.h>

namespace anchorfs::client {

namespace {

struct code_entry {
    Code code;
    const char* name;
    int error; // the errno that must accompany the code; 0: any (see below)
};

// Linux numbers. ESTALE (116) is reported only under the two identity codes.
constexpr int estale = 116;
constexpr code_entry code_table[] = {
    {Code::invalid_protocol, "INVALID_PROTOCOL", 22},
    {Code::root_identity_changed, "ROOT_IDENTITY_CHANGED", estale},
    {Code::identity_changed, "IDENTITY_CHANGED", estale},
    {Code::race_rolled_back, "RACE_ROLLED_BACK", 0},
    {Code::race_preserved, "RACE_PRESERVED", 0},
    {Code::eperm, "EPERM", 1},
    {Code::enoent, "ENOENT", 2},
    {Code::e2big, "E2BIG", 7},
    {Code::eacces, "EACCES", 13},
    {Code::eexist, "EEXIST", 17},
    {Code::exdev, "EXDEV", 18},
    {Code::enotdir, "ENOTDIR", 20},
    {Code::eisdir, "EISDIR", 21},
    {Code::einval, "EINVAL", 22},
    {Code::eloop, "ELOOP", 40},
    {Code::enotempty, "ENOTEMPTY", 39},
    {Code::filesystem_error, "FILESYSTEM_ERROR", 0},
};

const char* const helper_error_names[] = {
    "none",          "spawn_failed", "io_failed",   "killed_by_signal", "unexpected_stderr",   "no_line",
    "malformed_line", "unknown_code", "wrong_shape", "missing_bytes",    "extra_output", "exit_status_mismatch",
    "result_not_delivered", "timed_out", "cancelled",
};

// FILESYSTEM_ERROR stands for every error without a name of its own.
bool named_error(std::uint64_t error)
{
    if (error == estale)
        return true;
    for (const code_entry& entry : code_table) {
        if (entry.error != 0 && static_cast<std::uint64_t>(entry.error) == error)
            return true;
    }
    return false;
}

// One value of a flat JSON object: the helper prints only strings, integers
// and booleans.
struct json_value {
    enum class kind { string, integer, boolean } type = kind::string;
    std::string_view text; // string contents (no escapes) or integer digits
    bool truth = false;
};

struct json_member {
    std::string_view key;
    json_value value;
};

struct json_reader {
    std::string_view text;
    std::size_t at = 0;

    void skip_space()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r'))
            ++at;
    }
    bool take(char c)
    {
        skip_space();
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    // A string without escapes or control characters: the helper never needs them.
    bool string(std::string_view& out)
    {
        if (!take('"'))
            return false;
        std::size_t start = at;
        while (at < text.size() && text[at] != '"') {
            unsigned char c = static_cast<unsigned char>(text[at]);
            if (c == '\\' || c < 0x20)
                return false;
            ++at;
        }
        if (at == text.size())
            return false;
        out = text.substr(start, at - start);
        ++at;
        return true;
    }
    bool literal(std::string_view word)
    {
        if (text.substr(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }
    bool value(json_value& out)
    {
        skip_space();
        if (at >= text.size())
            return false;
        char c = text[at];
        if (c == '"') {
            out.type = json_value::kind::string;
            return string(out.text);
        }
        if (c == 't' || c == 'f') {
            out.type = json_value::kind::boolean;
            out.truth = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t start = at;
            if (c == '-')
                ++at;
            std::size_t digits = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                ++at;
            if (at == digits || (text[digits] == '0' && at - digits > 1))
                return false;
            out.type = json_value::kind::integer;
            out.text = text.substr(start, at - start);
            return true;
        }
        return false;
    }
};

// The members of the object that is the whole line, or nothing when the line
// is not such an object or names a key twice.
std::optional<std::vector<json_member>> parse_flat_object(std::string_view line)
{
    json_reader reader{line};
    std::vector<json_member> members;
    if (!reader.take('{'))
        return std::nullopt;
    if (!reader.take('}')) {
        do {
            json_member member;
            if (!reader.string(member.key) || !reader.take(':') || !reader.value(member.value))
                return std::nullopt;
            for (const json_member& other : members) {
                if (other.key == member.key)
                    return std::nullopt;
            }
            members.push_back(member);
        } while (reader.take(','));
        if (!reader.take('}'))
            return std::nullopt;
    }
    reader.skip_space();
    if (reader.at != line.size())
        return std::nullopt;
    return members;
}

const json_value* member(const std::vector<json_member>& members, std::string_view key)
{
    for (const json_member& m : members) {
        if (m.key == key)
            return &m.value;
    }
    return nullptr;
}

// An unsigned 64-bit decimal as the helper prints it: digits only, no
// leading zero, no overflow.
bool decimal_u64(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1))
        return false;
    std::uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool string_u64(const json_value* value, std::uint64_t& out)
{
    return value != nullptr && value->type == json_value::kind::string && decimal_u64(value->text, out);
}

bool lowercase_hex(std::string_view text)
{
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

Result helper_error(Result result, HelperError error, int system_error = 0)
{
    result.kind = ResultKind::helper_error;
    result.helper_error = error;
    result.error = system_error;
    result.content.clear();
    return result;
}

bool keys_exactly(const std::vector<json_member>& members, std::initializer_list<std::string_view> keys)
{
    if (members.size() != keys.size())
        return false;
    for (std::string_view key : keys) {
        if (member(members, key) == nullptr)
            return false;
    }
    return true;
}

Result interpret_failure(const detail::Invocation& invocation, const detail::HelperOutput& output, Result result,
                         const std::vector<json_member>& members)
{
    const json_value* code = member(members, "code");
    const json_value* error = member(members, "errno");
    if (!keys_exactly(members, {"ok", "code", "errno"}) || code->type != json_value::kind::string
        || error->type != json_value::kind::integer)
        return helper_error(std::move(result), HelperError::wrong_shape);
    const code_entry* entry = nullptr;
    for (const code_entry& candidate : code_table) {
        if (code->text == candidate.name)
            entry = &candidate;
    }
    if (entry == nullptr)
        return helper_error(std::move(result), HelperError::unknown_code);

    // A positive number that fits an int, and the one the code stands for.
    std::uint64_t number = 0;
    if (!decimal_u64(error->text, number) || number > 0x7FFFFFFF)
        return helper_error(std::move(result), HelperError::wrong_shape);
    bool fits = number > 0 && (entry->error == 0 || static_cast<std::uint64_t>(entry->error) == number);
    if (entry->code == Code::filesystem_error && named_error(number))
        fits = false;
    if (entry->code == Code::race_rolled_back && invocation.races != detail::RaceCodes::both)
        fits = false;
    if (entry->code == Code::race_preserved && invocation.races == detail::RaceCodes::none)
        fits = false;
    if (!fits)
        return helper_error(std::move(result), HelperError::wrong_shape);

    const int expected_status = entry->code == Code::invalid_protocol ? 2 : 10;
    if (output.exit_status != expected_status)
        return helper_error(std::move(result), HelperError::exit_status_mismatch);
    result.kind = ResultKind::failure;
    result.code = entry->code;
    result.error = static_cast<int>(number);
    result.race = entry->code == Code::race_rolled_back ? RaceOutcome::rolled_back
                  : entry->code == Code::race_preserved ? RaceOutcome::preserved
                                                        : RaceOutcome::none;
    return result;
}

Result interpret_success(const detail::Invocation& invocation, Result result,
                         const std::vector<json_member>& members, std::string_view rest)
{
    using detail::SuccessShape;
    std::uint64_t size = 0;
    switch (invocation.shape) {
    case SuccessShape::plain:
        if (!keys_exactly(members, {"ok"}))
            return helper_error(std::move(result), HelperError::wrong_shape);
        break;
    case SuccessShape::directory: {
        DirectoryIdentity& d = result.directory;
        if (!keys_exactly(members, {"ok", "device", "inode", "uid", "mode"})
            || !string_u64(member(members, "device"), d.device) || !string_u64(member(members, "inode"), d.inode)
            || !string_u64(member(members, "uid"), d.uid) || !string_u64(member(members, "mode"), d.mode)
            || d.mode > 0xFFFF || !S_ISDIR(static_cast<mode_t>(d.mode)))
            return helper_error(std::move(result), HelperError::wrong_shape);
        break;
    }
    case SuccessShape::bookmark: {
        Bookmark& b = result.bookmark;
        const json_value* hex = member(members, "bookmark");
        if (!keys_exactly(members, {"ok", "bookmark", "device", "inode", "uid"})
            || hex->type != json_value::kind::string || hex->text.size() < 2 || hex->text.size() > 131072
            || hex->text.size() % 2 != 0 || !lowercase_hex(hex->text)
            || !string_u64(member(members, "device"), b.device) || !string_u64(member(members, "inode"), b.inode)
            || !string_u64(member(members, "uid"), b.uid))
            return helper_error(std::move(result), HelperError::wrong_shape);
        b.hex = std::string(hex->text);
        break;
    }
    case SuccessShape::size:
        if (!keys_exactly(members, {"ok", "size"}) || !string_u64(member(members, "size"), size)
            || size > invocation.size_bound || size > max_content_size)
            return helper_error(std::move(result), HelperError::wrong_shape);
        if (rest.size() < size)
            return helper_error(std::move(result), HelperError::missing_bytes);
        result.content = std::string(rest.substr(0, size));
        rest.remove_prefix(size);
        break;
    }
    if (!rest.empty())
        return helper_error(std::move(result), HelperError::extra_output);
    result.kind = ResultKind::success;
    return result;
}

} // namespace

const char* code_name(Code code)
{
    for (const code_entry& entry : code_table) {
        if (entry.code == code)
            return entry.name;
    }
    return "FILESYSTEM_ERROR";
}

const char* helper_error_name(HelperError error)
{
    const auto index = static_cast<std::size_t>(error);
    return index < std::size(helper_error_names) ? helper_error_names[index] : "unknown";
}

namespace detail {

Result interpret(const Invocation& invocation, HelperOutput output)
{
    Result result;
    result.exit_status = output.exit_status;
    result.signal = output.signal;
    if (output.error != HelperError::none)
        return helper_error(std::move(result), output.error, output.system_error);

    const std::string_view out = output.out;
    const std::size_t end = out.find('\n');
    result.line = std::string(out.substr(0, std::min(end, max_line_length)));
    // A stopped run is reported as stopped whatever it answered in its grace
    // period: the caller asked for it to end, and the line says how it ended.
    if (output.stopped != HelperError::none)
        return helper_error(std::move(result), output.stopped);
    if (output.signal != 0)
        return helper_error(std::move(result), HelperError::killed_by_signal);
    if (output.err_written)
        return helper_error(std::move(result), HelperError::unexpected_stderr);
    // Whatever part of the line arrived, the helper says it is not the whole.
    if (output.exit_status == 11)
        return helper_error(std::move(result), HelperError::result_not_delivered);
    if (out.empty())
        return helper_error(std::move(result), HelperError::no_line);
    if (output.overflowed)
        return helper_error(std::move(result), HelperError::extra_output);
    if (end == std::string_view::npos || end > max_line_length)
        return helper_error(std::move(result), HelperError::malformed_line);

    std::optional<std::vector<json_member>> members = parse_flat_object(out.substr(0, end));
    if (!members)
        return helper_error(std::move(result), HelperError::malformed_line);
    const json_value* ok = member(*members, "ok");
    if (ok == nullptr || ok->type != json_value::kind::boolean)
        return helper_error(std::move(result), HelperError::wrong_shape);
    const std::string_view rest = out.substr(end + 1);

    if (!ok->truth) {
        if (!rest.empty())
            return helper_error(std::move(result), HelperError::extra_output);
        return interpret_failure(invocation, output, std::move(result), *members);
    }
    if (output.exit_status != 0)
        return helper_error(std::move(result), HelperError::exit_status_mismatch);
    return interpret_success(invocation, std::move(result), *members, rest);
}

} // namespace detail

} // namespace anchorfs::client
