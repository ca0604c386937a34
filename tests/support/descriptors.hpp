// Descriptors open in the test process, for tests that call functions in
// process: a function under test must leave the count unchanged.
#pragma once

#include "platform/descriptor_path.hpp"

#include <dirent.h>
#include <stdexcept>
#include <unistd.h>

namespace anchorfs::test {

inline int open_descriptor_count()
{
    // The process's proven /proc view is opened on first use and kept; it is
    // proven here so that it is counted before and after alike.
    char path[anchorfs::full_path_capacity];
    anchorfs::descriptor_path(STDIN_FILENO, path);
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr)
        throw std::runtime_error("opendir /proc/self/fd");
    int count = 0;
    while (struct dirent* entry = ::readdir(listing))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(listing);
    return count - 1; // the listing's own descriptor
}

} // namespace anchorfs::test
