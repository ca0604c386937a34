// The textual forms of command-line arguments. The predicates only decide;
// the caller chooses the error a refusal becomes.
#pragma once

#include <cstdint>
#include <span>

namespace anchorfs {

using argument_vector = std::span<char* const>;

inline constexpr std::uint64_t content_limit = 67108864; // 64 MiB
inline constexpr std::size_t relative_path_limit = 4096;
inline constexpr std::size_t leaf_capacity = 256; // a 255-byte name and its terminator

// The five slots naming a regular file, in command-line order.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t link_count = 0;
    std::uint64_t owner_uid = 0;
    std::uint64_t mode = 0;
};

// The eight slots describing a regular file completely.
struct exact_file_description {
    file_identity identity;
    std::uint64_t size = 0;
    std::uint64_t modified_ns = 0;
    const char* digest = nullptr; // 64 lowercase hexadecimal characters
};

// 0 and the value for an unsigned decimal; -1 otherwise, with errno ERANGE for
// a value above 2^64-1, otherwise 0. Absent or empty text and a leading "-"
// are refused before errno is cleared.
int parse_u64(const char* text, std::uint64_t& value);

// parse_u64, then the value must not exceed `limit` (EINVAL otherwise).
int parse_u64_at_most(const char* text, std::uint64_t limit, std::uint64_t& value);

// Parses the five slots starting at `first`; stops at the first failure.
int parse_file_identity(argument_vector args, int first, file_identity& identity);

// Parses the eight slots starting at `first`; a malformed digest leaves errno 0.
int parse_file_description(argument_vector args, int first, exact_file_description& description);

bool valid_sha256_hex(const char* text);
bool valid_relative_path(const char* text);
bool valid_durable_quarantine_leaf(const char* text);

} // namespace anchorfs
