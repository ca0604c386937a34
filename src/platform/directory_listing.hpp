// Reading the first entry of a directory listing without reading the rest,
// from where an earlier listing of the same directory found its entry.
#pragma once

#include <cstddef>
#include <cstdint>

namespace anchorfs {

// Where the next listing of a directory starts. Positions are the cookies the
// file system reported (opaque: a slot offset, an ordinal or a name hash).
struct listing_resume {
    // Where a listing yields the last entry found first, or, once that entry
    // is gone, what followed it: the position reported for the record before
    // it, or the start of the read. 0 is the start of the listing.
    std::int64_t position = 0;
    // The position reported after that entry and the name of the record the
    // listing yielded there; "" when the read ended with the entry.
    std::int64_t successor_position = 0;
    char successor[256] = ""; // a 255-byte name and its terminator
};

// The first entry other than "." and ".." that a listing of `listing_fd` (a
// descriptor opened for the listing) yields from `resume`: 1 with the name
// copied into `name` (`capacity` bytes, terminator included) and `resume` set
// for the entry found, 0 when the listing holds no other entry from
// resume.position on, -1 with the listing's errno, or ENAMETOOLONG when the
// name does not fit.
//
// Where the successor is known the listing starts at its position and is
// used only when the record there is the successor: on a file system whose
// positions are ordinals, the successor's position moves down when the entry
// before it goes, and starting there would skip it; the listing then starts
// again at resume.position, where nothing is skipped on any file system.
// Starting at resume.position alone would be enough for correctness, but it
// is the start of a read more often than not, so it would stay where the
// first of a run of deletions was found, and the file system would pass
// again over every slot emptied since.
//
// Entries made later may land behind a position, so only a listing from the
// start that finds nothing shows a directory empty.
//
// The listing is read with a buffer of 1 KiB rather than the 32 KiB of a
// directory stream: a tree removal lists a directory afresh before each
// deletion and uses one name of each listing, so everything read beyond the
// first entry and its successor was work thrown away.
int first_directory_entry(int listing_fd, listing_resume& resume, char* name, std::size_t capacity);

} // namespace anchorfs
