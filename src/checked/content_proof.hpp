// The content proof: a file is accepted on the strength of a description only
// after its identity, size and modification time were checked, its whole
// content hashed and compared, and its status taken again found the same
// snapshot as before the first byte (change time included).
#pragma once

#include "core/argument_forms.hpp"

#include <cstddef>
#include <span>
#include <sys/stat.h>

namespace anchorfs {

inline constexpr std::size_t content_chunk = 65536;

// Proves the file behind fd against the description (the link count is not
// compared, though a link made or removed during the reads moves the change
// time and fails the proof); a file that another process can write, before or
// after the reads, fails with ESTALE (fd must be read-only). 0 on success, with the status taken
// after reading in *final_status; -1 with errno otherwise.
int exact_regular_content_descriptor(int fd, const exact_file_description& description,
                                     struct stat* final_status = nullptr);

// The proof for a descriptor just opened by open_regular_at, whose status
// through the handle it was reopened from is `opened`: that look at the same
// object is this proof's first.
int exact_regular_content_opened(int fd, const exact_file_description& description, const struct stat& opened,
                                 struct stat* final_status = nullptr);

// The proof once more through the same descriptor, right after one that ended
// with the status `proven` (its final status) and its writer probe: those are
// this proof's first look and probe, and a change after them fails this one.
int exact_regular_content_descriptor_again(int fd, const exact_file_description& description,
                                           const struct stat& proven, struct stat* final_status = nullptr);

// Opens the name without following a symbolic link, proves it, and checks that
// the name still designates the proven file afterwards.
int exact_regular_content_at(int dir, const char* name, const exact_file_description& description,
                             struct stat* final_status = nullptr);

// As exact_regular_content_at with the link count compared too; every failure
// is reported as ESTALE.
int exact_recovery_file_at(int dir, const char* name, const exact_file_description& description,
                           struct stat* final_status = nullptr);

// Whether the SHA-256 digest of the bytes equals the digest text: false with
// EINVAL (too long, malformed text), EIO (hash failure) or ESTALE (differs).
bool sha256_matches(std::span<const unsigned char> bytes, const char* digest);

} // namespace anchorfs
