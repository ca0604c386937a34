// Renames that act only while the entry is still the one the caller observed,
// and prove afterwards that they did what was meant.
//
// Error convention: false leaves the reason in errno, except when the source
// (or one of two swapped entries) no longer has the expected identity before
// anything changed; errno is then left as it was, so callers that need a reason
// clear errno first and report a remaining 0 as ESTALE.
#pragma once

#include <sys/stat.h>

namespace anchorfs {

bool move_regular_checked(int from_dir, const char* from_name, int to_dir, const char* to_name,
                          const struct stat& expected);
bool swap_regular_checked(int a_dir, const char* a_name, int b_dir, const char* b_name,
                          const struct stat& expected_a, const struct stat& expected_b);
bool move_directory_checked(int from_dir, const char* from_name, int to_dir, const char* to_name,
                            const struct stat& expected);
void restore_moved_directory(int from_dir, const char* from_name, int to_dir, const char* to_name,
                             const struct stat& moved);
void restore_regular_after_failed_content_check(int current_dir, const char* current_name, int return_dir,
                                                const char* return_name);
bool move_to_durable_quarantine(int dir, const char* name, int quarantine_dir, const char* quarantine_leaf,
                                const struct stat& expected);

} // namespace anchorfs
