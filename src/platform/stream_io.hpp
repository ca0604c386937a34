// Whole reads and writes on the run's standard streams, whatever the parent
// made of them: a non-blocking pipe is waited on, an interrupted call resumed.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace anchorfs {

// Writes all `count` bytes to fd: EINTR is retried, EAGAIN waits with poll
// until fd is writable. 0 when every byte went out; -1 with the error of the
// failing write otherwise (EPIPE for a closed reader, EFBIG past the file-size
// limit, ENOSPC on a full device), with an unknown share of the bytes written.
int write_whole(int fd, const void* bytes, std::size_t count);

// One read of at most `size` bytes from fd: EINTR is retried, EAGAIN waits
// with poll until fd is readable. The count read (0 at end of input), or -1.
ssize_t read_waiting(int fd, void* buffer, std::size_t size);

// 0 when the run can still open `count` more descriptors below its
// RLIMIT_NOFILE (free slots, counted without opening any), -1 with EMFILE when
// it cannot.
int check_descriptor_room(unsigned count);

} // namespace anchorfs
