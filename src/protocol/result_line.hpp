// The one line a run prints, in its five shapes, and the code names of failures.
#pragma once

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

void print_failure_line(const char* code, int error);
void print_plain_line();
void print_size_line(std::uint64_t size);
void print_directory_line(const struct stat& status);
void print_bookmark_line(std::span<const unsigned char> bookmark, const struct stat& status);

} // namespace anchorfs
