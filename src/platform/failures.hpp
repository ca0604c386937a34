// The two ways a step fails, with errno as the carrier of the reason. Each
// sets errno and returns a value that reads as failure in both shapes the
// code base uses: -1 for an int, false for a bool.
//
// fail_identity_changed(): a comparison found another object than the one
// recorded; the reason is ESTALE, whatever an earlier call left in errno.
// fail_call_or_stale(): a call failed; its own error stands, and ESTALE where
// it left none (the caller cleared errno before it, so 0 means "no error of
// its own", for example a check inside it that found a mismatch).
#pragma once

#include <cerrno>

namespace anchorfs {

struct failure_value {
    constexpr operator int() const noexcept { return -1; }
    constexpr operator bool() const noexcept { return false; }
};

inline failure_value fail_identity_changed() noexcept
{
    errno = ESTALE;
    return {};
}

inline failure_value fail_call_or_stale() noexcept
{
    if (errno == 0)
        errno = ESTALE;
    return {};
}

} // namespace anchorfs
