// The operation record's JSON form: written in one fixed order, read back by
// a small strict reader that accepts exactly the published form (objects,
// strings, and the version as a bare integer) and refuses the rest, so that a
// torn or foreign record is never believed.

#include "anchorfs/journal.hpp"

#include <charconv>
#include <optional>
#include <utility>

namespace anchorfs::client {

namespace {

struct operation_entry {
    Operation operation;
    const char* name;
};

constexpr operation_entry operation_table[] = {
    {Operation::rename_excl, "rename-excl"},
    {Operation::rename_swap, "rename-swap"},
    {Operation::link_excl, "link-excl"},
    {Operation::unlink_checked, "unlink-checked"},
    {Operation::create_private_file_staged, "create-private-file-staged"},
};

// -- writing ------------------------------------------------------------------

void put_string(std::string& out, std::string_view text)
{
    constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out.push_back(hex[byte >> 4]);
                out.push_back(hex[byte & 0x0F]);
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

void put_member(std::string& out, std::string_view key, std::string_view value, bool first = false)
{
    if (!first)
        out.push_back(',');
    put_string(out, key);
    out.push_back(':');
    put_string(out, value);
}

void put_key(std::string& out, std::string_view key, bool first = false)
{
    if (!first)
        out.push_back(',');
    put_string(out, key);
    out += ":{";
}

// The device, inode and owner of a directory (the root, a bookmarked parent).
void put_directory_numbers(std::string& out, std::uint64_t device, std::uint64_t inode, std::uint64_t uid)
{
    put_member(out, "device", std::to_string(device));
    put_member(out, "inode", std::to_string(inode));
    put_member(out, "uid", std::to_string(uid));
}

void put_name(std::string& out, std::string_view role, const RecordName& name, bool first)
{
    put_key(out, role, first);
    put_member(out, "path", name.path, true);
    if (name.bookmarked) {
        put_key(out, "bookmark");
        put_member(out, "hex", name.parent.hex, true);
        put_directory_numbers(out, name.parent.device, name.parent.inode, name.parent.uid);
        out.push_back('}');
    }
    out.push_back('}');
}

void put_description(std::string& out, std::string_view role, const FileDescription& file, bool first)
{
    put_key(out, role, first);
    put_member(out, "device", std::to_string(file.identity.device), true);
    put_member(out, "inode", std::to_string(file.identity.inode));
    put_member(out, "link_count", std::to_string(file.identity.link_count));
    put_member(out, "uid", std::to_string(file.identity.uid));
    put_member(out, "mode", std::to_string(file.identity.mode));
    put_member(out, "size", std::to_string(file.size));
    put_member(out, "mtime_ns", std::to_string(file.mtime_ns));
    put_member(out, "sha256", file.sha256);
    out.push_back('}');
}

// The roles of each operation, in the order they are written.
struct roles {
    std::vector<std::pair<const char*, RecordName Record::*>> names;
    std::vector<std::pair<const char*, FileDescription Record::*>> files;
};

roles roles_of(Operation operation)
{
    switch (operation) {
    case Operation::rename_excl:
        return {{{"source", &Record::source}, {"destination", &Record::destination}}, {{"file", &Record::file}}};
    case Operation::rename_swap:
        return {{{"a", &Record::a}, {"b", &Record::b}}, {{"file1", &Record::file1}, {"file2", &Record::file2}}};
    case Operation::link_excl:
        return {{{"source", &Record::source},
                 {"destination", &Record::destination},
                 {"staging", &Record::staging},
                 {"quarantine", &Record::quarantine}},
                {{"file", &Record::file}}};
    case Operation::unlink_checked:
        return {{{"source", &Record::source}, {"staging", &Record::staging}, {"quarantine", &Record::quarantine}},
                {{"file", &Record::file}}};
    case Operation::create_private_file_staged:
        return {{{"final", &Record::final_name}, {"staging", &Record::staging}}, {}};
    }
    return {};
}

// -- reading ------------------------------------------------------------------

// A parsed value: an object (members in order), a string, or the version's integer.
struct value {
    enum class kind { object, string, integer } type = kind::string;
    std::string text; // string: its content; integer: its digits
    std::vector<std::pair<std::string, value>> members;

    const value* find(std::string_view key) const
    {
        for (const auto& member : members) {
            if (member.first == key)
                return &member.second;
        }
        return nullptr;
    }
};

bool valid_utf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2))
            return false;
        std::uint32_t point = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10FFFF))
            || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

void put_utf8(std::string& out, std::uint32_t point)
{
    if (point < 0x80) {
        out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (point >> 6)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

class reader {
public:
    explicit reader(std::string_view text) : text_(text) {}

    std::optional<value> document()
    {
        std::optional<value> top = object(0);
        skip_space();
        if (!top || at_ != text_.size())
            return std::nullopt;
        return top;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;

    void skip_space()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool take(char c)
    {
        skip_space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    std::optional<std::uint32_t> hex4()
    {
        if (at_ + 4 > text_.size())
            return std::nullopt;
        std::uint32_t point = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text_[at_++];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0)
                return std::nullopt;
            point = point * 16 + static_cast<std::uint32_t>(digit);
        }
        return point;
    }

    std::optional<std::string> string()
    {
        if (!take('"'))
            return std::nullopt;
        std::string out;
        while (at_ < text_.size()) {
            char c = text_[at_++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                return std::nullopt;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (at_ >= text_.size())
                return std::nullopt;
            switch (text_[at_++]) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                std::optional<std::uint32_t> point = hex4();
                if (!point)
                    return std::nullopt;
                if (*point >= 0xDC00 && *point <= 0xDFFF)
                    return std::nullopt;
                if (*point >= 0xD800 && *point <= 0xDBFF) {
                    if (at_ + 2 > text_.size() || text_[at_] != '\\' || text_[at_ + 1] != 'u')
                        return std::nullopt;
                    at_ += 2;
                    std::optional<std::uint32_t> low = hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return std::nullopt;
                    *point = 0x10000 + ((*point - 0xD800) << 10) + (*low - 0xDC00);
                }
                put_utf8(out, *point);
                break;
            }
            default: return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<value> element(int depth)
    {
        skip_space();
        if (at_ >= text_.size())
            return std::nullopt;
        if (text_[at_] == '{')
            return object(depth + 1);
        value v;
        if (text_[at_] == '"') {
            std::optional<std::string> s = string();
            if (!s)
                return std::nullopt;
            v.text = std::move(*s);
            return v;
        }
        // Only a plain non-negative integer: the version.
        std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        if (at_ == start || at_ - start > 20 || (text_[start] == '0' && at_ - start > 1))
            return std::nullopt;
        v.type = value::kind::integer;
        v.text = std::string(text_.substr(start, at_ - start));
        return v;
    }

    // Records are four levels deep; a deeper text is not a record.
    std::optional<value> object(int depth)
    {
        if (depth > 8 || !take('{'))
            return std::nullopt;
        value v;
        v.type = value::kind::object;
        if (take('}'))
            return v;
        do {
            std::optional<std::string> key = string();
            if (!key || v.find(*key) != nullptr || !take(':'))
                return std::nullopt;
            std::optional<value> member = element(depth);
            if (!member)
                return std::nullopt;
            v.members.emplace_back(std::move(*key), std::move(*member));
        } while (take(','));
        if (!take('}'))
            return std::nullopt;
        return v;
    }
};

// Checks of the published form; each failure sets `problem` once.
struct form {
    std::string problem;

    bool fail(std::string where, std::string_view what)
    {
        if (problem.empty())
            problem = where + ": " + std::string(what);
        return false;
    }

    // An object with exactly these keys.
    const value* object(const value* v, const std::string& where, std::initializer_list<std::string_view> keys)
    {
        if (v == nullptr || v->type != value::kind::object) {
            fail(where, "not an object");
            return nullptr;
        }
        for (std::string_view key : keys) {
            if (v->find(key) == nullptr) {
                fail(where, "missing " + std::string(key));
                return nullptr;
            }
        }
        if (v->members.size() != keys.size()) {
            fail(where, "unknown keys");
            return nullptr;
        }
        return v;
    }

    std::uint64_t decimal(const value* v, const std::string& where)
    {
        std::uint64_t n = 0;
        if (v == nullptr || v->type != value::kind::string || v->text.empty() || v->text.size() > 20
            || (v->text[0] == '0' && v->text.size() > 1)) {
            fail(where, "not an unsigned 64-bit decimal string");
            return 0;
        }
        for (char c : v->text) {
            if (c < '0' || c > '9') {
                fail(where, "not an unsigned 64-bit decimal string");
                return 0;
            }
        }
        auto [end, error] = std::from_chars(v->text.data(), v->text.data() + v->text.size(), n);
        if (error != std::errc{} || end != v->text.data() + v->text.size())
            fail(where, "not an unsigned 64-bit decimal string");
        return n;
    }

    // A non-empty string without NUL; `hex_only` for digests and bookmarks.
    std::string text(const value* v, const std::string& where, std::size_t exact_length = 0, bool hex_only = false)
    {
        if (v == nullptr || v->type != value::kind::string || v->text.empty()
            || v->text.find('\0') != std::string::npos || (exact_length != 0 && v->text.size() != exact_length)) {
            fail(where, "not a valid string");
            return {};
        }
        if (hex_only) {
            for (char c : v->text) {
                if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
                    fail(where, "not lowercase hexadecimal");
                    return {};
                }
            }
        }
        return v->text;
    }

    RecordName name(const value* v, const std::string& where, bool bookmarked, bool quarantine)
    {
        RecordName out;
        const value* o = bookmarked ? object(v, where, {"path", "bookmark"}) : object(v, where, {"path"});
        if (o == nullptr)
            return out;
        out.path = text(o->find("path"), where + ".path");
        if (quarantine) {
            std::string_view leaf = out.path;
            leaf.remove_prefix(leaf.rfind('/') == std::string_view::npos ? 0 : leaf.rfind('/') + 1);
            constexpr std::string_view prefix = ".vor-native-quarantine-";
            bool ok = leaf.size() == prefix.size() + 32 && leaf.substr(0, prefix.size()) == prefix;
            for (char c : leaf.substr(std::min(leaf.size(), prefix.size())))
                ok = ok && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
            if (!ok)
                fail(where + ".path", "the leaf is not a quarantine leaf");
        }
        if (!bookmarked)
            return out;
        const value* b = object(o->find("bookmark"), where + ".bookmark", {"hex", "device", "inode", "uid"});
        if (b == nullptr)
            return out;
        out.bookmarked = true;
        out.parent.hex = text(b->find("hex"), where + ".bookmark.hex", 0, true);
        if (out.parent.hex.size() % 2 != 0 || out.parent.hex.size() > 131072)
            fail(where + ".bookmark.hex", "not a bookmark");
        out.parent.device = decimal(b->find("device"), where + ".bookmark.device");
        out.parent.inode = decimal(b->find("inode"), where + ".bookmark.inode");
        out.parent.uid = decimal(b->find("uid"), where + ".bookmark.uid");
        return out;
    }

    FileDescription description(const value* v, const std::string& where)
    {
        FileDescription out;
        const value* o
            = object(v, where, {"device", "inode", "link_count", "uid", "mode", "size", "mtime_ns", "sha256"});
        if (o == nullptr)
            return out;
        out.identity.device = decimal(o->find("device"), where + ".device");
        out.identity.inode = decimal(o->find("inode"), where + ".inode");
        out.identity.link_count = decimal(o->find("link_count"), where + ".link_count");
        out.identity.uid = decimal(o->find("uid"), where + ".uid");
        out.identity.mode = decimal(o->find("mode"), where + ".mode");
        out.size = decimal(o->find("size"), where + ".size");
        out.mtime_ns = decimal(o->find("mtime_ns"), where + ".mtime_ns");
        out.sha256 = text(o->find("sha256"), where + ".sha256", 64, true);
        return out;
    }
};

} // namespace

const char* operation_name(Operation operation)
{
    for (const operation_entry& entry : operation_table) {
        if (entry.operation == operation)
            return entry.name;
    }
    return "unknown";
}

BookmarkedParent group_of(const RecordName& name)
{
    return bookmarked_parent(name.parent, name.path);
}

std::string encode_record(const Record& record)
{
    std::string out = "{\"version\":" + std::to_string(record_version);
    put_member(out, "operation", operation_name(record.operation));
    put_key(out, "root");
    put_member(out, "path", record.root.path, true);
    put_directory_numbers(out, record.root.device, record.root.inode, record.root.uid);
    out.push_back('}');
    roles r = roles_of(record.operation);
    put_key(out, "names");
    bool first = true;
    for (const auto& [role, member] : r.names) {
        put_name(out, role, record.*member, first);
        first = false;
    }
    out.push_back('}');
    if (!r.files.empty()) {
        put_key(out, "files");
        first = true;
        for (const auto& [role, member] : r.files) {
            put_description(out, role, record.*member, first);
            first = false;
        }
        out.push_back('}');
    }
    if (record.operation == Operation::create_private_file_staged) {
        put_key(out, "content");
        put_member(out, "size", std::to_string(record.content_size), true);
        put_member(out, "sha256", record.content_sha256);
        out.push_back('}');
    }
    out += "}\n";
    return out;
}

DecodeRecordResult decode_record(std::string_view bytes)
{
    DecodeRecordResult result;
    if (!valid_utf8(bytes)) {
        result.problem = "not UTF-8";
        return result;
    }
    std::optional<value> top = reader(bytes).document();
    if (!top) {
        result.problem = "not a JSON object of the record form";
        return result;
    }
    const value* version = top->find("version");
    if (version == nullptr || version->type != value::kind::integer || version->text != std::to_string(record_version)) {
        result.problem = "version is not " + std::to_string(record_version);
        return result;
    }
    const value* operation = top->find("operation");
    const operation_entry* found = nullptr;
    for (const operation_entry& entry : operation_table) {
        if (operation != nullptr && operation->type == value::kind::string && operation->text == entry.name)
            found = &entry;
    }
    if (found == nullptr) {
        result.problem = "unknown operation";
        return result;
    }
    Record& record = result.record;
    record.operation = found->operation;
    bool staged = record.operation == Operation::create_private_file_staged;
    form f;
    const value* o = staged ? f.object(&*top, "record", {"version", "operation", "root", "names", "content"})
                            : f.object(&*top, "record", {"version", "operation", "root", "names", "files"});
    if (o != nullptr) {
        if (const value* root = f.object(o->find("root"), "root", {"path", "device", "inode", "uid"})) {
            record.root.path = f.text(root->find("path"), "root.path");
            record.root.device = f.decimal(root->find("device"), "root.device");
            record.root.inode = f.decimal(root->find("inode"), "root.inode");
            record.root.uid = f.decimal(root->find("uid"), "root.uid");
        }
        roles r = roles_of(record.operation);
        const value* names = o->find("names");
        if (names == nullptr || names->type != value::kind::object || names->members.size() != r.names.size()) {
            f.fail("names", "not the operation's names");
        } else {
            for (const auto& [role, member] : r.names) {
                std::string where = std::string("names.") + role;
                record.*member = f.name(names->find(role), where, !staged, std::string_view(role) == "quarantine");
            }
        }
        if (!r.files.empty()) {
            const value* files = o->find("files");
            if (files == nullptr || files->type != value::kind::object || files->members.size() != r.files.size()) {
                f.fail("files", "not the operation's files");
            } else {
                for (const auto& [role, member] : r.files)
                    record.*member = f.description(files->find(role), std::string("files.") + role);
            }
        }
        if (staged) {
            if (const value* content = f.object(o->find("content"), "content", {"size", "sha256"})) {
                record.content_size = f.decimal(content->find("size"), "content.size");
                record.content_sha256 = f.text(content->find("sha256"), "content.sha256", 64, true);
            }
        }
    }
    result.problem = f.problem;
    return result;
}

} // namespace anchorfs::client
