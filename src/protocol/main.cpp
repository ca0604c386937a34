// anchorfs: one anchored file-system operation per run, reported as one JSON line.

#include "protocol/front_end.hpp"

#include <cstdio>
#include <cstdlib>

// A run takes nothing from its environment. The environment is emptied before
// any library initialiser runs (the priority puts this ahead of them): the hash
// library's processor-feature selection would otherwise honour variables that
// change its choice and that make it write to standard error.
__attribute__((constructor(101))) static void forget_environment()
{
    ::clearenv();
}

int main(int argc, char** argv)
{
    // The result line goes out through a buffer of the program's own: stdio
    // would otherwise take the status of standard output and allocate its
    // buffer on the first print, which set up the heap for nothing in most runs.
    static char output_buffer[4096];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    return anchorfs::run_front_end(argc, argv);
}
