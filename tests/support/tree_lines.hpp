// Trees described in a few lines: "d/" is a directory (0755), "d/f=text" a
// regular file (0644) holding text, "l->target" a symbolic link, each below
// `top` and made in the order given.
#pragma once

#include "support/harness.hpp"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace anchorfs::test {

// A tree as a table row holds it.
using tree_lines = std::vector<std::string_view>;

inline void make_tree(const std::string& top, const tree_lines& lines)
{
    for (std::string_view line : lines) {
        if (line.ends_with('/')) {
            make_dir(top + "/" + std::string(line.substr(0, line.size() - 1)));
            continue;
        }
        if (const std::size_t arrow = line.find("->"); arrow != std::string_view::npos) {
            const std::string path = top + "/" + std::string(line.substr(0, arrow));
            if (::symlink(std::string(line.substr(arrow + 2)).c_str(), path.c_str()) != 0)
                throw std::runtime_error("symlink " + path + ": " + std::strerror(errno));
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view name = line.substr(0, equals);
        const std::string_view content = equals == std::string_view::npos ? "" : line.substr(equals + 1);
        write_file(top + "/" + std::string(name), content);
    }
}

inline void make_tree(const std::string& top, std::initializer_list<std::string_view> lines)
{
    make_tree(top, tree_lines(lines));
}

} // namespace anchorfs::test
