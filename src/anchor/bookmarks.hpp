// Directory bookmarks: find a directory again later, and accept it only when
// the bookmark and the walk from the root arrive at one and the same directory.
#pragma once

#include "anchor/root_anchor.hpp"
#include "platform/bookmark.hpp"
#include "platform/owners.hpp"

#include <cstdint>

namespace anchorfs {

inline constexpr std::size_t bookmark_text_limit = 131072;

// Six argument slots and the directory opened from them.
struct bookmarked_parent {
    const char* bookmark = nullptr;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t owner_uid = 0;
    const char* directory_path = nullptr; // "." or a relative path
    const char* leaf = nullptr;
    unique_fd fd; // the directory as reached from the root
};

// The bookmark bytes of an open directory below the root, after both
// self-tests passed.
int create_directory_bookmark(const root_anchor& root, int dir_fd, const struct stat& status,
                              unique_buffer& bookmark);

// The directory a bookmark text leads to, accepted only with this identity:
// by its handle on the identifier's file system (a privileged run), else by
// the part of its recorded path below the root's path, walked from the
// root's descriptor; failing that, by the search for the inode below the
// identifier's directory. Every road hands back a descriptor reached without
// the kernel walking a path below the root; a road without its argument
// (null) is not taken. Empty with ESTALE when no road leads to it, EINVAL for
// malformed text, and EMFILE, ENFILE or ENOMEM as met on any road.
unique_fd open_bookmarked_directory(const char* text, std::uint64_t device, std::uint64_t inode,
                                    std::uint64_t owner_uid, const root_anchor* root,
                                    const filesystem_identifier* identifier);

int open_bookmarked_parent(argument_vector args, int first, const root_anchor& root,
                           const filesystem_identifier& identifier, bookmarked_parent& record);

// Walks the record's path from the root again and proves it reaches the
// directory held; false with ESTALE otherwise (EMFILE, ENFILE or ENOMEM as met).
bool refresh_bookmarked_parent(const root_anchor& root, bookmarked_parent& record);

// Refreshes the given records in order (null ones are skipped) and stops at the first failure.
bool refresh_bookmarked_parents(const root_anchor& root, bookmarked_parent* first,
                                bookmarked_parent* second = nullptr, bookmarked_parent* third = nullptr,
                                bookmarked_parent* fourth = nullptr);

} // namespace anchorfs
