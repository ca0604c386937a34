// The path under which the kernel currently knows the object behind a
// descriptor, read from this process's descriptor table in /proc.
//
// /proc is not believed blindly: on first use in a run the /proc directory is
// opened once and proven to be procfs (its file-system magic), "self" is proven
// to name this process, its "fd" directory is reached without leaving that
// procfs mount, and the table is proven to be this process's own (the entry of
// the table's own descriptor leads back to it). Every later read is relative
// to that proven directory. Without such a /proc, every call here fails with
// EOPNOTSUPP (or the error of the failing call) and nothing is read from it.
#pragma once

#include "platform/owners.hpp"

#include <climits>
#include <cstddef>
#include <sys/types.h>

namespace anchorfs {

inline constexpr std::size_t full_path_capacity = PATH_MAX; // 4096, terminator included

// 0 once this process's descriptor table in /proc is proven (as above); -1
// with EOPNOTSUPP, or the error of the failing call, otherwise. For commands
// whose every step needs it, to refuse before they begin.
int prove_descriptor_table();

// Writes the absolute path of fd into buffer (full_path_capacity bytes) and
// returns 0. Fails with the readlink error, ENAMETOOLONG when the path does not
// fit, ENOENT when the object has no path any more (its name was removed,
// or it is not reachable from this process's root), EOPNOTSUPP when /proc
// cannot be proven.
int descriptor_path(int fd, char* buffer);

// Proves, before anything is changed, what binding a reference to the entry
// `name` of the directory dir will need later: the directory's path can be
// read, and the entry's full path fits in full_path_capacity (ENAMETOOLONG).
int entry_path_fits(int dir, const char* name);

// Changes the mode of the object behind fd (also an O_PATH descriptor, which
// needs no read or write permission) through its entry in the proven table.
int change_mode_through_descriptor(int fd, mode_t mode);

// Opens the object behind fd (also an O_PATH descriptor) anew with `flags`
// through its entry in the proven table: the same object whatever its name is
// now. O_NOFOLLOW must not be among the flags (the entry is a link).
unique_fd reopen_through_descriptor(int fd, int flags);

// Held by the program's entry for the whole run: closes the proven /proc
// directory, if one was opened, when the run ends.
struct proc_view_holder {
    proc_view_holder() = default;
    proc_view_holder(const proc_view_holder&) = delete;
    proc_view_holder& operator=(const proc_view_holder&) = delete;
    ~proc_view_holder();
};

} // namespace anchorfs
