// The floor that remove-private-tree's durability sets: every deletion is
// followed by an fsync of the directory it was made in. This program removes
// a tree depth first doing exactly that and nothing else (no identity proofs,
// no hardening, each directory listed once).
//
//   fsync_floor PARENT NAME      removes PARENT/NAME and everything below it

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

bool remove_entry(int parent, const char* name, bool directory)
{
    if (directory) {
        int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        DIR* stream = ::fdopendir(fd);
        if (stream == nullptr)
            return false;
        std::vector<std::pair<std::string, bool>> entries;
        while (const dirent* entry = ::readdir(stream)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                entries.emplace_back(entry->d_name, entry->d_type == DT_DIR);
        }
        for (const auto& [child, child_directory] : entries) {
            if (!remove_entry(::dirfd(stream), child.c_str(), child_directory))
                return false;
        }
        ::closedir(stream);
    }
    return ::unlinkat(parent, name, directory ? AT_REMOVEDIR : 0) == 0 && ::fsync(parent) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    int parent = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0 || !remove_entry(parent, argv[2], true)) {
        std::perror("fsync_floor");
        return 1;
    }
    return 0;
}
