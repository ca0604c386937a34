// Trees described in a few lines: "d/" is a directory (0755), "d/f=text" a
// regular file (0644) holding text, each below `top` and made in the order given.
#pragma once

#include "support/harness.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace anchorfs::test {

inline void make_tree(const std::string& top, std::initializer_list<std::string_view> lines)
{
    for (std::string_view line : lines) {
        if (line.ends_with('/')) {
            make_dir(top + "/" + std::string(line.substr(0, line.size() - 1)));
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view name = line.substr(0, equals);
        const std::string_view content = equals == std::string_view::npos ? "" : line.substr(equals + 1);
        write_file(top + "/" + std::string(name), content);
    }
}

} // namespace anchorfs::test
