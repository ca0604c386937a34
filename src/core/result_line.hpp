// The one line a run prints, in its five shapes, and the code names of failures.
#pragma once

#include "core/command.hpp"

#include <cstdint>
#include <span>
#include <sys/stat.h>

namespace anchorfs {

inline constexpr const char* code_invalid_protocol = "INVALID_PROTOCOL";
inline constexpr const char* code_root_identity_changed = "ROOT_IDENTITY_CHANGED";
inline constexpr const char* code_identity_changed = "IDENTITY_CHANGED";
inline constexpr const char* code_race_rolled_back = "RACE_ROLLED_BACK";
inline constexpr const char* code_race_preserved = "RACE_PRESERVED";

// The code name of an error number: eleven named errors, everything else
// (0 included) "FILESYSTEM_ERROR".
const char* errno_code(int error);

// Each print writes its whole line to standard output (waiting on a
// non-blocking one, resuming an interrupted write) and returns 0, or -1 with
// the error of the write that failed: the line was not delivered whole.
int print_failure_line(const char* code, int error);
int print_plain_line();
int print_size_line(std::uint64_t size);
int print_directory_line(const struct stat& status);
int print_bookmark_line(std::span<const unsigned char> bookmark, const struct stat& status);
// The content after a size line, written whole the same way.
int print_content(std::span<const unsigned char> content);

// The success line of the output's shape, and the content after a size line:
// 0 when all of it was written whole.
int print_success(const success_output& success);

} // namespace anchorfs
