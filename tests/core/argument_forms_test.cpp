// The textual forms of arguments: unsigned decimals, file identities, digests,
// relative paths and durable quarantine leaves.

#include "core/argument_forms.hpp"
#include "support/checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

using namespace anchorfs;

namespace {

// Every case struct prints as its name (PrintTo), so that listed test names
// stay short and do not change from run to run with addresses or bytes.

constexpr std::uint64_t untouched = 0xDEADBEEFu;

// ---------------------------------------------------------------- parse_u64

struct accepted_number {
    const char* name;
    const char* text;
    std::uint64_t value;
};

void PrintTo(const accepted_number& c, std::ostream* out) { *out << c.name; }

class ParseU64_Accepted : public testing::TestWithParam<accepted_number> {};

TEST_P(ParseU64_Accepted, StoresValueAndReturnsZero)
{
    std::uint64_t value = untouched;
    ASSERT_EQ(parse_u64(GetParam().text, value), 0);
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseU64_Accepted,
    testing::Values(accepted_number{"Zero", "0", 0},
                    accepted_number{"LeadingZeros", "0007", 7},
                    accepted_number{"PlusSign", "+7", 7},
                    accepted_number{"LeadingSpace", " 7", 7},
                    accepted_number{"LeadingBlanksOfEveryKind", " \t\n\v\f\r7", 7},
                    accepted_number{"Largest", "18446744073709551615", UINT64_MAX},
                    accepted_number{"LargestWithLeadingZeros", "00018446744073709551615", UINT64_MAX},
                    accepted_number{"TypicalDevice", "65024", 65024}),
    [](const auto& info) { return std::string(info.param.name); });

// How a refusal leaves errno: untouched (refused before clearing), cleared to
// 0, or ERANGE. EINVAL is allowed wherever 0 is, as the conversion may leave it.
enum class errno_after { untouched, cleared, range };

struct refused_number {
    const char* name;
    const char* text;
    errno_after expected_errno;
};

void PrintTo(const refused_number& c, std::ostream* out) { *out << c.name; }

class ParseU64_Refused : public testing::TestWithParam<refused_number> {};

TEST_P(ParseU64_Refused, LeavesValueAndReportsErrno)
{
    const refused_number& c = GetParam();
    constexpr int sentinel = EMLINK; // an error the parser never sets
    std::uint64_t value = untouched;
    errno = sentinel;
    EXPECT_EQ(parse_u64(c.text, value), -1);
    int error = errno;
    EXPECT_EQ(value, untouched);
    switch (c.expected_errno) {
    case errno_after::untouched: EXPECT_EQ(error, sentinel); break;
    case errno_after::cleared: EXPECT_TRUE(error == 0 || error == EINVAL) << "errno " << error; break;
    case errno_after::range: EXPECT_EQ(error, ERANGE); break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseU64_Refused,
    testing::Values(refused_number{"Absent", nullptr, errno_after::untouched},
                    refused_number{"Empty", "", errno_after::untouched},
                    refused_number{"MinusZero", "-0", errno_after::untouched},
                    refused_number{"Negative", "-7", errno_after::untouched},
                    refused_number{"TwoToThe64", "18446744073709551616", errno_after::range},
                    refused_number{"FarAboveRange", "99999999999999999999999", errno_after::range},
                    refused_number{"BlankThenMinus", " -7", errno_after::cleared},
                    refused_number{"TrailingBlank", "7 ", errno_after::cleared},
                    refused_number{"TrailingLetter", "7a", errno_after::cleared},
                    refused_number{"OnlyBlanks", "  ", errno_after::cleared},
                    refused_number{"OnlyPlus", "+", errno_after::cleared},
                    refused_number{"DoubleSign", "+-7", errno_after::cleared},
                    refused_number{"Hexadecimal", "0x10", errno_after::cleared},
                    refused_number{"Letters", "abc", errno_after::cleared},
                    refused_number{"InnerBlank", "1 2", errno_after::cleared}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- parse_file_identity

struct argument_list {
    std::vector<std::string> texts;
    std::vector<char*> pointers;

    explicit argument_list(std::vector<std::string> values) : texts(std::move(values))
    {
        for (std::string& text : texts)
            pointers.push_back(text.data());
    }
    argument_vector args() const { return {pointers.data(), pointers.size()}; }
};

TEST(ParseFileIdentity, FiveSlotsAtOffset_FilledInOrder)
{
    argument_list list({"x", "x", "65024", "123", "1", "1000", "33188"});
    file_identity identity;
    ASSERT_EQ(parse_file_identity(list.args(), 2, identity), 0);
    EXPECT_EQ(identity.device, 65024u);
    EXPECT_EQ(identity.inode, 123u);
    EXPECT_EQ(identity.link_count, 1u);
    EXPECT_EQ(identity.owner_uid, 1000u);
    EXPECT_EQ(identity.mode, 33188u);
}

TEST(ParseFileIdentity, LargestValuesInEverySlot_Accepted)
{
    argument_list list(std::vector<std::string>(5, "18446744073709551615"));
    file_identity identity;
    ASSERT_EQ(parse_file_identity(list.args(), 0, identity), 0);
    EXPECT_EQ(identity.device, UINT64_MAX);
    EXPECT_EQ(identity.mode, UINT64_MAX);
}

// A bad slot stops the parse there: earlier slots are filled, later ones not.
TEST(ParseFileIdentity, MalformedSlot_FailsAndStopsThere)
{
    for (int bad = 0; bad < 5; ++bad) {
        SCOPED_TRACE("malformed slot " + std::to_string(bad));
        std::vector<std::string> slots{"1", "2", "3", "4", "5"};
        slots[static_cast<std::size_t>(bad)] = "7x";
        argument_list list(slots);
        file_identity identity{untouched, untouched, untouched, untouched, untouched};
        EXPECT_NE(parse_file_identity(list.args(), 0, identity), 0);
        const std::uint64_t fields[] = {identity.device, identity.inode, identity.link_count,
                                        identity.owner_uid, identity.mode};
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(fields[i], i < bad ? static_cast<std::uint64_t>(i + 1) : untouched) << "slot " << i;
    }
}

// A description is an identity, a size, a modification time and a digest: a
// bad slot anywhere fails the whole, with the digest's refusal reported as
// EINVAL (errno cleared) and a malformed number with its own errno.
TEST(ParseFileDescription, MalformedSlot_Fails)
{
    const std::string digest(64, 'a');
    for (int bad = 0; bad < 8; ++bad) {
        SCOPED_TRACE("malformed slot " + std::to_string(bad));
        std::vector<std::string> slots{"1", "2", "3", "4", "5", "6", "7", digest};
        slots[static_cast<std::size_t>(bad)] = bad == 7 ? digest.substr(1) : "7x";
        argument_list list(slots);
        exact_file_description description;
        errno = EBADF;
        EXPECT_NE(parse_file_description(list.args(), 0, description), 0);
        if (bad == 7) {
            EXPECT_EQ(errno, 0);
        }
    }
    argument_list list({"1", "2", "3", "4", "5", "6", "7", digest});
    exact_file_description description;
    ASSERT_EQ(parse_file_description(list.args(), 0, description), 0);
    EXPECT_EQ(description.size, 6u);
    EXPECT_EQ(description.modified_ns, 7u);
}

// A bounded number: malformed, above the bound, at the bound.
TEST(ParseU64AtMost, MalformedOrAboveLimit_FailsAtLimit_Accepted)
{
    std::uint64_t value = untouched;
    EXPECT_NE(parse_u64_at_most("7x", 10, value), 0);
    errno = 0;
    EXPECT_NE(parse_u64_at_most("11", 10, value), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(value, untouched);
    ASSERT_EQ(parse_u64_at_most("10", 10, value), 0);
    EXPECT_EQ(value, 10u);
}

TEST(ParseFileIdentity, OutOfRangeSlot_FailsWithERANGE)
{
    argument_list list({"1", "2", "18446744073709551616", "4", "5"});
    file_identity identity;
    errno = 0;
    EXPECT_NE(parse_file_identity(list.args(), 0, identity), 0);
    EXPECT_EQ(errno, ERANGE);
}

TEST(ParseFileIdentity, NegativeSlot_Fails)
{
    argument_list list({"1", "2", "3", "-4", "5"});
    file_identity identity;
    EXPECT_NE(parse_file_identity(list.args(), 0, identity), 0);
}

// ---------------------------------------------------------- valid_sha256_hex

// A text and whether a form check (here the digest's, below the quarantine
// leaf's) accepts it.
struct form_case {
    const char* name;
    std::string text;
    bool valid;
    bool (*check)(const char*) = nullptr;
};

void PrintTo(const form_case& c, std::ostream* out) { *out << c.name; }

std::vector<form_case> checked_by(bool (*check)(const char*), std::vector<form_case> cases)
{
    for (form_case& c : cases)
        c.check = check;
    return cases;
}

class TextForm : public testing::TestWithParam<form_case> {};

TEST_P(TextForm, DecidesForm)
{
    EXPECT_EQ(GetParam().check(GetParam().text.c_str()), GetParam().valid);
}

const std::string digest_of_empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

INSTANTIATE_TEST_SUITE_P(
    ValidSha256Hex, TextForm,
    testing::ValuesIn(checked_by(valid_sha256_hex, {form_case{"SixtyFourLowercase_Accepted", digest_of_empty, true},
                    form_case{"AllDigits_Accepted", std::string(64, '0'), true},
                    form_case{"AllLetters_Accepted", std::string(64, 'f'), true},
                    form_case{"SixtyThree_Refused", digest_of_empty.substr(1), false},
                    form_case{"SixtyFive_Refused", digest_of_empty + "0", false},
                    form_case{"OneUppercase_Refused", "E" + digest_of_empty.substr(1), false},
                    form_case{"UppercaseAtEnd_Refused", digest_of_empty.substr(0, 63) + "A", false},
                    form_case{"LetterBeyondF_Refused", "g" + digest_of_empty.substr(1), false},
                    form_case{"Empty_Refused", "", false},
                    form_case{"TrailingBlank_Refused", digest_of_empty.substr(0, 63) + " ", false}})),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ValidSha256HexAbsent, Refused)
{
    EXPECT_FALSE(valid_sha256_hex(nullptr));
}

// ------------------------------------------------------- valid_relative_path

struct path_case {
    const char* name;
    std::string text;
};

void PrintTo(const path_case& c, std::ostream* out) { *out << c.name; }

std::string repeated(char c, std::size_t count)
{
    return std::string(count, c);
}

// Components of at most 200 bytes joined by '/', exactly `length` bytes in all.
std::string path_of_length(std::size_t length)
{
    std::string path;
    while (path.size() < length) {
        if (!path.empty())
            path += '/';
        path += repeated('a', std::min<std::size_t>(200, length - path.size()));
    }
    return path;
}

class ValidRelativePath_Accepted : public testing::TestWithParam<path_case> {};
class ValidRelativePath_Refused : public testing::TestWithParam<path_case> {};

TEST_P(ValidRelativePath_Accepted, True)
{
    EXPECT_TRUE(valid_relative_path(GetParam().text.c_str()));
}

TEST_P(ValidRelativePath_Refused, False)
{
    int before = errno = EMLINK;
    EXPECT_FALSE(valid_relative_path(GetParam().text.c_str()));
    EXPECT_EQ(errno, before) << "predicates leave errno alone";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ValidRelativePath_Accepted,
    testing::Values(path_case{"SingleName", "photos"},
                    path_case{"ThreeNames", "photos/2026/march"},
                    path_case{"LeadingDot", ".hidden"},
                    path_case{"TwoDotsInside", "a..b"},
                    path_case{"TwoDotsPrefix", "..a"},
                    path_case{"ThreeDots", "..."},
                    path_case{"ThreeDotsAsMiddleComponent", "a/.../b"},
                    path_case{"SpaceInside", "my photos/a b"},
                    path_case{"Component255Bytes", repeated('a', 255)},
                    path_case{"LastComponent255Bytes", "a/" + repeated('b', 255)},
                    path_case{"Component255BytesOfTwoByteCharacters", "a" + [] {
                                  std::string s;
                                  for (int i = 0; i < 127; ++i)
                                      s += "\xC3\xA9";
                                  return s;
                              }()},
                    path_case{"Exactly4096Bytes", path_of_length(4096)},
                    path_case{"AccentedLetters", "r\xC3\xA9sum\xC3\xA9/\xC3\xBC"},
                    path_case{"ThreeByteCharacter", "\xE2\x82\xAC"},              // U+20AC euro sign
                    path_case{"Emoji", "\xF0\x9F\x93\xB7/x"},                     // U+1F4F7 camera
                    path_case{"HighestCodePoint", "\xF4\x8F\xBF\xBF"},            // U+10FFFF
                    path_case{"JustBelowSurrogates", "\xED\x9F\xBF"},             // U+D7FF
                    path_case{"JustAboveSurrogates", "\xEE\x80\x80"},             // U+E000
                    path_case{"JustBelowZeroWidth", "\xE2\x80\x8A"},              // U+200A
                    path_case{"JustAboveMarks", "\xE2\x80\x90"},                  // U+2010
                    path_case{"JustBelowEmbeddings", "\xE2\x80\xA9"},             // U+2029
                    path_case{"JustAboveOverrides", "\xE2\x80\xAF"},              // U+202F
                    path_case{"JustBelowFormatBlock", "\xE2\x81\x9F"},            // U+205F
                    path_case{"JustAboveFormatBlock", "\xE2\x81\xB0"},            // U+2070
                    path_case{"NoBreakSpaceU00A0", "\xC2\xA0"},                   // first after C1
                    path_case{"Tilde", "~"}),                                     // U+007E
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Forms, ValidRelativePath_Refused,
    testing::Values(
        // shape
        path_case{"Empty", ""},
        path_case{"LeadingSlash", "/photos"},
        path_case{"OnlySlash", "/"},
        path_case{"TrailingSlash", "photos/"},
        path_case{"DoubleSlash", "photos//2026"},
        path_case{"DotFirst", "./photos"},
        path_case{"DotMiddle", "photos/./2026"},
        path_case{"DotLast", "photos/."},
        path_case{"LoneDot", "."},
        path_case{"DotDotFirst", "../photos"},
        path_case{"DotDotMiddle", "photos/../2026"},
        path_case{"DotDotLast", "photos/.."},
        path_case{"LoneDotDot", ".."},
        // lengths
        path_case{"Component256Bytes", repeated('a', 256)},
        path_case{"MiddleComponent256Bytes", "a/" + repeated('b', 256) + "/c"},
        path_case{"Component256BytesOfTwoByteCharacters", [] {
                      std::string s;
                      for (int i = 0; i < 128; ++i)
                          s += "\xC3\xA9";
                      return s;
                  }()},
        path_case{"Length4097Bytes", path_of_length(4097)},
        path_case{"FarTooLong", path_of_length(10000)},
        // refused code points
        path_case{"Backslash", "a\\b"},
        path_case{"Tab", "a\tb"},
        path_case{"LineFeed", "a\nb"},
        path_case{"Unit1F", "a\x1F"},
        path_case{"Delete7F", "a\x7F"},
        path_case{"C1Control0080", "a\xC2\x80"},
        path_case{"C1Control009F", "a\xC2\x9F"},
        path_case{"ZeroWidthSpace200B", "a\xE2\x80\x8B"},
        path_case{"LeftToRightMark200E", "a\xE2\x80\x8E"},
        path_case{"RightToLeftMark200F", "a\xE2\x80\x8F"},
        path_case{"Embedding202A", "a\xE2\x80\xAA"},
        path_case{"Override202E", "\xE2\x80\xAEtxt.exe"},
        path_case{"WordJoiner2060", "a\xE2\x81\xA0"},
        path_case{"Isolate2066", "a\xE2\x81\xA6"},
        path_case{"Format206F", "a\xE2\x81\xAF"},
        path_case{"ByteOrderMarkFEFF", "\xEF\xBB\xBF" "a"},
        path_case{"RefusedCodePointInLaterComponent", "ok/also-ok/a\xE2\x80\x8E"},
        // malformed UTF-8
        path_case{"EndsInsideTwoByteSequence", "a\xC3"},
        path_case{"EndsInsideFourByteSequence", "a\xF0\x9F\x93"},
        path_case{"TruncatedBeforeSlash", "a\xC3/b"},
        path_case{"OverlongSlashC0AF", "a\xC0\xAF" "b"},
        path_case{"OverlongC1", "\xC1\xBF"},
        path_case{"OverlongThreeByte", "\xE0\x80\xAF"},
        path_case{"OverlongFourByte", "\xF0\x80\x80\xAF"},
        path_case{"SurrogateD800", "\xED\xA0\x80"},
        path_case{"SurrogateDFFF", "\xED\xBF\xBF"},
        path_case{"AboveUnicodeF4", "\xF4\x90\x80\x80"},
        path_case{"LeadF5", "\xF5\x80\x80\x80"},
        path_case{"LeadFF", "\xFF"},
        path_case{"LoneContinuation", "a\x80"},
        path_case{"BadContinuation", "\xC3\x28"},
        path_case{"SlashAsContinuation", "\xE2\x82/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ValidRelativePathAbsent, Refused)
{
    EXPECT_FALSE(valid_relative_path(nullptr));
}

// --------------------------------------------- valid_durable_quarantine_leaf

using anchorfs::test::quarantine_prefix;
const std::string thirty_two_hex = "0123456789abcdef0123456789abcdef";

INSTANTIATE_TEST_SUITE_P(
    ValidDurableQuarantineLeaf, TextForm,
    testing::ValuesIn(checked_by(valid_durable_quarantine_leaf, {form_case{"PrefixAnd32Hex_Accepted", quarantine_prefix + thirty_two_hex, true},
                    form_case{"PrefixAnd32Zeros_Accepted", quarantine_prefix + repeated('0', 32), true},
                    form_case{"ThirtyOneDigits_Refused", quarantine_prefix + thirty_two_hex.substr(1), false},
                    form_case{"ThirtyThreeDigits_Refused", quarantine_prefix + thirty_two_hex + "0", false},
                    form_case{"UppercaseDigit_Refused",
                              quarantine_prefix + thirty_two_hex.substr(0, 31) + "F", false},
                    form_case{"NonHexLetter_Refused", quarantine_prefix + "g" + thirty_two_hex.substr(1), false},
                    form_case{"OtherPrefix_Refused", ".vor-native-quarantina-" + thirty_two_hex, false},
                    form_case{"PrefixWithoutDot_Refused", quarantine_prefix.substr(1) + thirty_two_hex, false},
                    form_case{"UppercasePrefix_Refused", ".VOR-native-quarantine-" + thirty_two_hex, false},
                    form_case{"PrefixOnly_Refused", quarantine_prefix, false},
                    form_case{"TruncatedPrefix_Refused", ".vor-native", false},
                    form_case{"Empty_Refused", "", false},
                    form_case{"WithDirectory_Refused", "q/" + quarantine_prefix + thirty_two_hex, false}})),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ValidDurableQuarantineLeafAbsent, Refused)
{
    EXPECT_FALSE(valid_durable_quarantine_leaf(nullptr));
}

} // namespace
