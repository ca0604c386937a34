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
    // it (for the expected successor, the one the earlier listing reported),
    // or the start of the read. 0 is the start of the listing.
    std::int64_t position = 0;
    // The position reported before the next record other than "." and ".."
    // and that record's name; "" when the read ended first.
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
// The listing starts at the position of the entry found last (gone by now,
// as a tree removal goes), so an entry made meanwhile between it and its old
// successor is found first. Where the first entry there is that successor, its
// own position (reported before it by the earlier listing) is taken as where
// it was found, so the start moves on with each deletion and the file system
// does not pass again over every slot emptied since. Meant for file systems
// whose positions are stable (listing_positions.hpp); elsewhere a caller lists
// from the start with a fresh listing_resume.
//
// Entries made later may land behind a position, so only a listing from the
// start that finds nothing shows a directory empty.
//
// The listing is read 280 bytes at a time (the record of one 255-byte name;
// a longer record is read again into 1 KiB) rather than the 32 KiB of a
// directory stream: a tree removal lists a directory afresh before each
// deletion and uses one name of each listing, so everything read beyond the
// first entry and its successor was work thrown away.
int first_directory_entry(int listing_fd, listing_resume& resume, char* name, std::size_t capacity);

} // namespace anchorfs
