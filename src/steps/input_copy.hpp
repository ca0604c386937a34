#pragma once

#include <cstdint>

namespace anchorfs {

// Copies exactly `size` bytes from standard input to fd through one 65536-byte
// buffer, never asking for more than is still missing, then requires end of
// input. A non-blocking input is waited on. -1 with EINVAL when the input is short or long, or with the error of
// a failing read or write.
int copy_exact_input(int fd, std::uint64_t size);

} // namespace anchorfs
