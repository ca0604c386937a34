// Builds a chain of nested directories deeper than any path may name, for the
// rows that measure how a cost grows with a tree's depth.
//
//   deep_chain DIR N      makes DIR/d/d/.../d, N directories below DIR

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: deep_chain DIR N\n");
        return 2;
    }
    long depth = std::strtol(argv[2], nullptr, 10);
    int dir = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (long level = 0; dir >= 0 && level < depth; ++level) {
        int next = ::mkdirat(dir, "d", 0755) == 0 ? ::openat(dir, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(dir);
        dir = next;
    }
    if (dir < 0) {
        std::perror("deep_chain");
        return 1;
    }
    ::close(dir);
    return 0;
}
