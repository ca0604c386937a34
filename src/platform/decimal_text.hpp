// Decimal digits written by hand: no locale, no stdio, no allocation, so the
// result line and the descriptor paths read several times per deleted entry
// cost only the division.
#pragma once

#include <cstddef>

namespace anchorfs {

// The most digits an unsigned 64-bit number has.
inline constexpr std::size_t decimal_digits_max = 20;

// Writes the digits of `value`, most significant first and without a
// terminator, to `text` (room for decimal_digits_max) and returns how many.
inline std::size_t decimal_digits(unsigned long long value, char* text)
{
    char reversed[decimal_digits_max];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i)
        text[i] = reversed[count - 1 - i];
    return count;
}

} // namespace anchorfs
