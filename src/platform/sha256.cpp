#include "platform/sha256.hpp"

namespace anchorfs {

// Nettle's calls cannot fail; the interface keeps a result so that callers
// handle a hash that can, as the content proof requires.

bool sha256_start(sha256_state& state)
{
    sha256_init(&state.context);
    return true;
}

bool sha256_feed(sha256_state& state, std::span<const unsigned char> bytes)
{
    sha256_update(&state.context, bytes.size(), bytes.data());
    return true;
}

bool sha256_finish(sha256_state& state, unsigned char (&digest)[sha256_digest_size])
{
    sha256_digest(&state.context, sha256_digest_size, digest);
    return true;
}

bool sha256_once(std::span<const unsigned char> bytes, unsigned char (&digest)[sha256_digest_size])
{
    sha256_state state;
    return sha256_start(state) && sha256_feed(state, bytes) && sha256_finish(state, digest);
}

} // namespace anchorfs
