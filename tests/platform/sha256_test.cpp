// SHA-256 against published known answers, and a stream fed in uneven pieces
// equal to the one-shot digest.

#include "platform/sha256.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace anchorfs;

namespace {

std::string hex(const unsigned char (&digest)[sha256_digest_size])
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

std::span<const unsigned char> bytes_of(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

struct known_answer {
    const char* name;
    std::string input;
    const char* digest;
};

class Sha256_KnownAnswer : public testing::TestWithParam<known_answer> {};

TEST_P(Sha256_KnownAnswer, OneShotAndStreamGiveThePublishedDigest)
{
    unsigned char digest[sha256_digest_size];
    ASSERT_TRUE(sha256_once(bytes_of(GetParam().input), digest));
    EXPECT_EQ(hex(digest), GetParam().digest);

    sha256_state state;
    ASSERT_TRUE(sha256_start(state));
    ASSERT_TRUE(sha256_feed(state, bytes_of(GetParam().input)));
    ASSERT_TRUE(sha256_finish(state, digest));
    EXPECT_EQ(hex(digest), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Sha256_KnownAnswer,
    testing::Values(known_answer{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                    known_answer{"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
                    known_answer{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                                 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
                    known_answer{"MillionA", std::string(1000000, 'a'),
                                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sha256, UnevenChunks_EqualOneShot)
{
    std::string input;
    std::uint32_t x = 2463534242u;
    for (int i = 0; i < 300000; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        input.push_back(static_cast<char>(x));
    }
    unsigned char whole[sha256_digest_size];
    ASSERT_TRUE(sha256_once(bytes_of(input), whole));

    // Pieces that straddle the 64-byte block boundary in every way, and one
    // as large as the content proof's read chunk.
    const std::size_t pieces[] = {0, 1, 63, 64, 65, 127, 3, 65536, 1000, 55, 56, 57};
    sha256_state state;
    ASSERT_TRUE(sha256_start(state));
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < input.size(); ++i) {
        std::size_t n = std::min(pieces[i % std::size(pieces)], input.size() - offset);
        ASSERT_TRUE(sha256_feed(state, bytes_of(input).subspan(offset, n)));
        offset += n;
    }
    unsigned char streamed[sha256_digest_size];
    ASSERT_TRUE(sha256_finish(state, streamed));
    EXPECT_EQ(hex(streamed), hex(whole));
}

} // namespace
