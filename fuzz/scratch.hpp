// The scratch directory of a fuzz process. Fuzz targets touch nothing outside
// it: the process moves into it at start, every root it hands the program is
// below it, and it is removed when the process ends normally.
#pragma once

#include <string>

namespace fuzz {

struct scratch_area {
    std::string container; // <base>/anchorfs-fuzz-XXXXXX, the working directory
    std::string root;      // container + "/root"
    int root_fd = -1;      // held for the whole process
};

// Made on first use below $ANCHORFS_FUZZ_SCRATCH, else /dev/shm, else /tmp;
// standard input and output are pointed at /dev/null.
const scratch_area& scratch();

// Removes everything below the directory, never following a symbolic link nor
// leaving it; stops the process when something cannot be removed.
void empty_directory(int dir_fd);

// Empties the root and lays out the tree the front-end target works in:
//   a/ (0755): f, g (0644 files), b/ (directory), lf -> f (symbolic link)
//   p/ (0700): f, s (0600 files), t/ (0700) with x (0600) and y/ (0700), Q/ (0700)
//   e/ (empty), h1 and h2 (two links of one file), l -> a, d -> missing, q (FIFO)
void reset_tree(int root_fd);

} // namespace fuzz
