#include "platform/rename.hpp"

#include <cstdio>
#include <fcntl.h>

namespace anchorfs {

// A file system without RENAME_NOREPLACE or RENAME_EXCHANGE makes renameat2
// fail with EINVAL; that failure is reported as it is. Falling back to a plain
// rename would silently replace an entry another process created meanwhile.

int rename_exclusive(int from_dir, const char* from_name, int to_dir, const char* to_name)
{
    return ::renameat2(from_dir, from_name, to_dir, to_name, RENAME_NOREPLACE);
}

int rename_swap(int a_dir, const char* a_name, int b_dir, const char* b_name)
{
    return ::renameat2(a_dir, a_name, b_dir, b_name, RENAME_EXCHANGE);
}

} // namespace anchorfs
