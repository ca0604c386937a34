// The two atomic renames the system uses. There is deliberately no plain
// rename: an entry is either moved onto a free name or exchanged with an
// existing one, never allowed to replace what is there.
#pragma once

namespace anchorfs {

// Moves from_dir/from_name to to_dir/to_name; fails with EEXIST when the
// destination name exists (renameat2 RENAME_NOREPLACE).
int rename_exclusive(int from_dir, const char* from_name, int to_dir, const char* to_name);

// Exchanges two existing entries atomically; fails with ENOENT when either is
// missing (renameat2 RENAME_EXCHANGE).
int rename_swap(int a_dir, const char* a_name, int b_dir, const char* b_name);

} // namespace anchorfs
