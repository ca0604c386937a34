// "bookmark-parent" and the bookmark text that recover commands accept: the
// line it prints, that the printed values open as a group, and that malformed,
// corrupted or truncated bookmark texts are refused without harm.

#include "recovery/recovery_scene.hpp"

#include <cstdint>
#include <random>
#include <tuple>

namespace anchorfs::test::recovery {
namespace {

// ---------------------------------------------------------------- the bookmark line

struct parent_case {
    const char* name;
    const char* entry;     // slot 6
    const char* directory; // the directory bookmarked, "." for the root
};

void PrintTo(const parent_case& c, std::ostream* out) { *out << c.name; }

class BookmarkParent : public testing::TestWithParam<std::tuple<runner, parent_case>> {};

TEST_P(BookmarkParent, PrintsParentIdentityAndABookmarkThatOpensAsItsGroup)
{
    const auto& [who, c] = GetParam();
    scene s(who);
    s.dir("a");
    s.dir("a/b");
    s.dir("a/b/c");
    s.file("kept", "root file\n");
    s.file("a/b/kept", "middle file\n");
    s.file("a/b/c/kept", "nested file\n");
    const tree_snapshot before = s.tree();

    run_result r = s.run("bookmark-parent", {c.entry});

    std::smatch match;
    ASSERT_TRUE(std::regex_match(r.out, match, bookmark_line_pattern)) << r.out;
    EXPECT_EQ(r.exit_code, exit_ok);
    EXPECT_EQ(r.err, "");
    const std::string directory = std::string(c.directory) == "." ? s.root.path : s.at(c.directory);
    const struct stat status = lstat_of(directory);
    EXPECT_EQ(match[2], std::to_string(static_cast<unsigned long long>(status.st_dev)));
    EXPECT_EQ(match[3], std::to_string(static_cast<unsigned long long>(status.st_ino)));
    EXPECT_EQ(match[4], std::to_string(static_cast<unsigned long long>(status.st_uid)));
    EXPECT_EQ(s.tree(), before);

    // The printed values are what a later group expects in its first four slots.
    const std::string kept = std::string(c.directory) == "." ? "kept" : std::string(c.directory) + "/kept";
    std::vector<std::string> group{match[1], match[2], match[3], match[4], c.directory, "kept"};
    EXPECT_TRUE(succeeded(s.run("recover-rename", join({group, s.group(".", "free"), s.describe(kept)}))));
    EXPECT_EQ(s.tree(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, BookmarkParent,
    testing::Combine(both_runners, testing::Values(parent_case{"SingleMissingName", "x", "."},
                                                   parent_case{"SingleExistingName", "kept", "."},
                                                   parent_case{"NestedPath", "a/b/c/x", "a/b/c"},
                                                   parent_case{"NestedDirectoryAsEntry", "a/b/c", "a/b"})),
    [](const auto& info) {
        return std::string(std::get<1>(info.param).name)
               + (std::get<0>(info.param) == runner::privileged ? "_Privileged" : "_Unprivileged");
    });

struct unwalkable_case {
    const char* name;
    const char* entry;
    const char* code;
    int error;
};

class BookmarkParent_Unwalkable : public testing::TestWithParam<unwalkable_case> {};

TEST_P(BookmarkParent_Unwalkable, FailsWithTheWalkError)
{
    scene s(runner::privileged);
    s.file("file", "x");
    ASSERT_EQ(::symlink(".", s.at("link").c_str()), 0);
    const tree_snapshot before = s.tree();
    EXPECT_TRUE(failed_with(s.run("bookmark-parent", {GetParam().entry}), GetParam().code, GetParam().error));
    EXPECT_EQ(s.tree(), before);
}

INSTANTIATE_TEST_SUITE_P(Paths, BookmarkParent_Unwalkable,
                         testing::Values(unwalkable_case{"MissingMiddle", "missing/x", "ENOENT", ENOENT},
                                         unwalkable_case{"FileAsMiddle", "file/x", "ENOTDIR", ENOTDIR},
                                         unwalkable_case{"SymlinkAsMiddle", "link/x", "ELOOP", ELOOP},
                                         unwalkable_case{"DotDot", "../x", "EINVAL", EINVAL},
                                         unwalkable_case{"Absolute", "/x", "EINVAL", EINVAL}),
                         [](const auto& info) { return std::string(info.param.name); });

// Paused right after the directory's handle was taken, the directory is moved
// away and a look-alike put at its path: the bookmark would lead to the moved
// directory, and the anchoring check after it refuses to print it.
TEST(BookmarkParentRace, ParentReplacedWhileBookmarking_IdentityChanged)
{
    scene s(runner::privileged);
    s.dir("a");
    s.dir("a/b");
    run_options options;
    tree_snapshot replaced;
    options.seam.rules = "pause:name_to_handle_at:1";
    options.check_fds = true;
    options.seam.on_pause = [&](const std::string&) {
        s.move("a/b", "a/away");
        s.dir("a/b");
        replaced = s.tree();
    };
    run_result r = s.run("bookmark-parent", {"a/b/x"}, options);
    EXPECT_TRUE(identity_changed(r));
    EXPECT_EQ(r.leaked_fds, std::vector<int>{});
    EXPECT_EQ(s.tree(), replaced);
}

// ---------------------------------------------------------------- bookmark text

// A settled rename (file at its source, destination free) whose source group
// carries the bookmark text under test: success means the group opened.
struct settled_rename {
    scene s{runner::privileged};
    bookmark_line d;
    std::vector<std::string> destination;
    std::vector<std::string> file;
    tree_snapshot before;

    settled_rename()
    {
        s.dir("d");
        s.dir("other");
        s.file("d/f", "content\n");
        d = s.bookmark("d/f");
        destination = s.group(".", "free");
        file = s.describe("d/f");
        before = s.tree();
    }
    run_result run(const std::string& text, const std::string& directory = "d") const
    {
        return s.run("recover-rename",
                     join({{text, d.device, d.inode, d.uid, directory, "f"}, destination, file}));
    }
};

std::string upper(std::string text)
{
    for (char& ch : text)
        if (ch >= 'a' && ch <= 'f')
            ch = static_cast<char>(ch - 'a' + 'A');
    return text;
}

TEST(BookmarkText, Uppercase_Accepted)
{
    settled_rename t;
    ASSERT_NE(upper(t.d.hex), t.d.hex);
    EXPECT_TRUE(succeeded(t.run(upper(t.d.hex))));
    EXPECT_EQ(t.s.tree(), t.before);
}

struct text_case {
    const char* name;
    std::string (*make)(const std::string& good);
};

class BookmarkText_Refused : public testing::TestWithParam<text_case> {};

TEST_P(BookmarkText_Refused, GroupFailsWithIdentityChangedAndNothingChanges)
{
    settled_rename t;
    EXPECT_TRUE(identity_changed(t.run(GetParam().make(t.d.hex))));
    EXPECT_EQ(t.s.tree(), t.before);
}

// 131071 characters and the terminator are the most one argument can carry.
INSTANTIATE_TEST_SUITE_P(
    Texts, BookmarkText_Refused,
    testing::Values(
        text_case{"OddLength", [](const std::string& good) { return good.substr(0, good.size() - 1); }},
        text_case{"OneExtraDigit", [](const std::string& good) { return good + "0"; }},
        text_case{"NonHexCharacter", [](const std::string& good) { return good.substr(0, 10) + "g" + good.substr(11); }},
        text_case{"HexPrefix", [](const std::string& good) { return "0x" + good; }},
        text_case{"Blank", [](const std::string& good) { return good.substr(0, 10) + " " + good.substr(11); }},
        text_case{"Empty", [](const std::string&) { return std::string(); }},
        text_case{"LongestOddArgument", [](const std::string&) { return std::string(131071, '0'); }},
        text_case{"LongestEvenArgumentOfZeros", [](const std::string&) { return std::string(131070, '0'); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The length limit itself lies beyond what an argument can carry, so it is
// checked on the bookmark opener directly: 131072 characters are decoded (and
// found to be no bookmark), longer or odd texts are refused as malformed.
struct length_case {
    const char* name;
    const char* piece;
    int repeat;
    int error;
};

class BookmarkText_Length : public testing::TestWithParam<length_case> {};

TEST_P(BookmarkText_Length, DecodedUpToTheLimitRefusedBeyond)
{
    scene s(runner::privileged);
    run_result r = run_program(AREA_DRIVER, {"open-bookmarked-directory", GetParam().piece,
                                             std::to_string(GetParam().repeat), std::to_string(s.root.device),
                                             std::to_string(s.root.inode), std::to_string(s.root.uid)});
    EXPECT_EQ(r.out, "errno " + std::to_string(GetParam().error) + "\n");
    EXPECT_EQ(r.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BookmarkText_Length,
                         testing::Values(length_case{"Empty", "00", 0, EINVAL},
                                         length_case{"OneCharacter", "0", 1, EINVAL},
                                         length_case{"OneByte", "00", 1, ESTALE},
                                         length_case{"AtLimit", "00", 65536, ESTALE},
                                         length_case{"OddAboveLimit", "0", 131073, EINVAL},
                                         length_case{"EvenAboveLimit", "00", 65537, EINVAL}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- corrupted records

using bytes = std::vector<unsigned char>;

bytes from_hex(const std::string& text)
{
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const bytes& data)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : data) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

void put_u32(bytes& data, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        data[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t get_u32(const bytes& data, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(data[at + static_cast<std::size_t>(i)]) << (8 * i);
    return value;
}

struct corrupted {
    std::string name;
    bytes record;
    bool malformed; // must be refused even when the walk agrees
};

// Offsets of the record's fields (see src/platform/bookmark.hpp): an 8-byte
// header, device and inode, handle type, handle length at 28, the handle from
// 32, then the path length and the path.
std::vector<corrupted> corruptions_of(const bytes& good)
{
    constexpr std::size_t handle_length_at = 28;
    const std::size_t handle_length = get_u32(good, handle_length_at);
    const std::size_t path_length_at = 32 + handle_length;
    const std::size_t path_length = get_u32(good, path_length_at);
    auto in = [](std::size_t i, std::size_t from, std::size_t count) { return i >= from && i < from + count; };

    std::vector<corrupted> out;
    for (std::size_t i = 0; i < good.size(); ++i) {
        bytes flipped = good;
        flipped[i] ^= 0xFF;
        const bool malformed = i < 8 || in(i, handle_length_at, 4) || in(i, path_length_at, 4) || i == path_length_at + 4;
        out.push_back({"flip byte " + std::to_string(i), flipped, malformed});
    }
    for (std::size_t length = 1; length < good.size(); ++length)
        out.push_back({"cut to " + std::to_string(length), bytes(good.begin(), good.begin() + static_cast<long>(length)), true});
    for (unsigned char extra : {0x00, 0x2F, 0xFF}) {
        bytes longer = good;
        longer.push_back(extra);
        out.push_back({"one byte appended", longer, true});
    }
    for (std::uint32_t claimed : {0xFFFFFFFFu, 0x80000000u, 129u, static_cast<std::uint32_t>(handle_length + 1)}) {
        bytes lying = good;
        put_u32(lying, handle_length_at, claimed);
        out.push_back({"handle length " + std::to_string(claimed), lying, true});
    }
    for (std::uint32_t claimed : {0xFFFFFFFFu, 0x80000000u, 4096u, 0u, static_cast<std::uint32_t>(path_length + 1),
                                  static_cast<std::uint32_t>(path_length - 1)}) {
        bytes lying = good;
        put_u32(lying, path_length_at, claimed);
        out.push_back({"path length " + std::to_string(claimed), lying, true});
    }
    {
        bytes hidden = good;
        hidden[path_length_at + 4 + path_length / 2] = 0;
        out.push_back({"terminator inside the path", hidden, true});
    }

    std::mt19937 random(20261207);
    auto noise = [&](std::size_t count) {
        bytes data(count);
        for (auto& byte : data)
            byte = static_cast<unsigned char>(random() & 0xFF);
        return data;
    };
    for (std::size_t length : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 16u, 31u, 32u, 33u, 36u, 64u, 100u, 255u, 256u, 1000u,
                               4096u, 4400u, 65535u}) {
        bytes data = noise(length);
        const bool magic = length >= 4 && std::equal(good.begin(), good.begin() + 4, data.begin());
        out.push_back({"random " + std::to_string(length), data, !magic});
        if (length > 8) {
            // A valid header, so that the fields behind it are parsed.
            std::copy(good.begin(), good.begin() + 8, data.begin());
            out.push_back({"header and random " + std::to_string(length), data, false});
        }
    }
    {
        // Well formed, but the handle is noise and the path leads elsewhere.
        bytes wrong = good;
        bytes handle_noise = noise(handle_length);
        std::copy(handle_noise.begin(), handle_noise.end(), wrong.begin() + 32);
        std::fill(wrong.begin() + static_cast<long>(path_length_at + 5), wrong.end(), 'z');
        out.push_back({"noise handle and wrong path", wrong, false});
    }
    return out;
}

class CorruptedBookmark : public testing::TestWithParam<runner> {};

TEST_P(CorruptedBookmark, NeverCrashesAndSucceedsOnlyWhereTheWalkAgrees)
{
    scene s(GetParam());
    s.dir("d");
    s.dir("other");
    s.file("d/f", "content\n");
    const bookmark_line d = s.bookmark("d/f");
    const std::vector<std::string> destination = s.group(".", "free");
    const std::vector<std::string> file = s.describe("d/f");
    const tree_snapshot before = s.tree();
    auto run = [&](const bytes& record, const std::string& directory) {
        return s.run("recover-rename",
                     join({{to_hex(record), d.device, d.inode, d.uid, directory, "f"}, destination, file}));
    };

    const std::vector<corrupted> cases = corruptions_of(from_hex(d.hex));
    ASSERT_GT(cases.size(), 150u);
    for (const corrupted& c : cases) {
        SCOPED_TRACE(c.name);
        run_result agreeing = run(c.record, "d");
        if (c.malformed) {
            EXPECT_TRUE(identity_changed(agreeing));
        } else {
            EXPECT_TRUE(succeeded(agreeing) || identity_changed(agreeing)) << agreeing.out << agreeing.err;
        }
        // The group's path leads to another directory than its identity names.
        if (c.name.rfind("flip", 0) == 0 || c.name.rfind("noise", 0) == 0) {
            EXPECT_TRUE(identity_changed(run(c.record, "other")));
        }
    }
    EXPECT_EQ(s.tree(), before);
}

INSTANTIATE_TEST_SUITE_P(Runners, CorruptedBookmark, both_runners, runner_name);

} // namespace
} // namespace anchorfs::test::recovery
