// The whole of one run after the environment was emptied: dispatch on the
// argument vector, one result line on standard output, the exit status.
#pragma once

namespace anchorfs {

inline constexpr int exit_success = 0;
inline constexpr int exit_protocol = 2;
inline constexpr int exit_failure = 10;
// The line (or the content after a size line) could not be written whole: the
// command may have taken effect, the caller must check the tree or settle it.
inline constexpr int exit_undelivered = 11;

// Runs the command named by argv[1] below the root of argv[2] to argv[5] and
// returns the run's exit status. Keeps no state between calls, so it can be
// called again in the same process (the fuzz targets do).
int run_front_end(int argc, char** argv);

} // namespace anchorfs
