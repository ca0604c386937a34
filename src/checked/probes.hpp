// Identity probes of a name below a held directory, and the three comparisons
// that define sameness: regular identity, directory identity, file snapshot.
#pragma once

#include "core/argument_forms.hpp"
#include "platform/owners.hpp"

#include <cstdint>
#include <sys/stat.h>

namespace anchorfs {

// 0 when the name holds a regular file (a directory for directory_at); -1 with
// the query's errno, or ESTALE for another type. `status` is filled whenever
// the query succeeded.
int regular_at(int dir, const char* name, struct stat& status);
int directory_at(int dir, const char* name, struct stat& status);

// Opens the name read-only to read its content, only when it holds a regular
// file: the name is held by an O_PATH descriptor and classified through it,
// and only that very object is reopened for reading (through the proven
// descriptor table), so a socket, FIFO or device there is refused with ESTALE
// without being opened (a FIFO could stall the run, a device may act on being
// opened). A symbolic link fails with ELOOP, a missing name with ENOENT, a
// mount on the name with ESTALE, a /proc that cannot be proven with
// EOPNOTSUPP. Empty on failure. The status the handle showed, the last look
// at the object before it was opened, goes to *opened_status when given.
unique_fd open_regular_at(int dir, const char* name, struct stat* opened_status = nullptr);

// True when the name does not exist (errno ENOENT); false with EEXIST when it
// does, and false with the query's errno when absence was not established.
bool absent_at(int dir, const char* name);

// 0 when the name holds a regular file with exactly this identity; -1 with the
// query's errno or ESTALE.
int exact_regular_at(int dir, const char* name, const file_identity& identity);

bool same_regular_identity(const struct stat& expected, const struct stat& observed);
bool same_directory_identity(const struct stat& expected, const struct stat& observed);
bool same_file_snapshot(const struct stat& first, const struct stat& second);

// Whether a status record has exactly the five identity numbers of a regular file.
bool matches_file_identity(const struct stat& status, const file_identity& identity);

// The modification time as one count of nanoseconds since the epoch; -1 with
// EOVERFLOW when it cannot be represented.
int modified_nanoseconds(const struct stat& status, std::uint64_t& nanoseconds);

} // namespace anchorfs
