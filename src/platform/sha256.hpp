// SHA-256 (FIPS 180-4) behind the small interface the content proof needs:
// start, feed and finish each report success, and a one-shot form for bytes
// already in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nettle/sha2.h>
#include <span>

namespace anchorfs {

inline constexpr std::size_t sha256_digest_size = 32;

struct sha256_state {
    sha256_ctx context;
};

bool sha256_start(sha256_state& state);
bool sha256_feed(sha256_state& state, std::span<const unsigned char> bytes);
bool sha256_finish(sha256_state& state, unsigned char (&digest)[sha256_digest_size]);
bool sha256_once(std::span<const unsigned char> bytes, unsigned char (&digest)[sha256_digest_size]);

} // namespace anchorfs
