// Reading the first entry of a directory listing without reading the rest.
#pragma once

#include <cstddef>

namespace anchorfs {

// The first entry other than "." and ".." that a listing of `listing_fd` yields
// from its current position (a descriptor opened for the listing reads from
// the start). 1 with the name copied into `name` (`capacity` bytes, terminator
// included), 0 when the listing holds no other entry, -1 with the listing's
// errno, or ENAMETOOLONG when the name does not fit.
//
// The listing is read with a buffer of 1 KiB rather than the 32 KiB of a
// directory stream: a tree removal lists a directory afresh before each
// deletion and uses one name of each listing, so everything read beyond the
// first entry was work thrown away, and that work grew with the square of the
// directory's size.
int first_directory_entry(int listing_fd, char* name, std::size_t capacity);

} // namespace anchorfs
