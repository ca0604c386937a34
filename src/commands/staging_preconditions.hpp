#pragma once

#include "anchor/root_anchor.hpp"

namespace anchorfs {

// The preconditions of a staged deletion (unlink-checked, link-excl): the
// quarantine leaf has the durable form (EINVAL), the staging and quarantine
// parents are one directory (ESTALE), both names are free (EEXIST, or the
// status error), the paths a reference bound through them needs can be read
// and fit (ENAMETOOLONG, or the error of reading /proc), and last the source
// name holds exactly the described file.
int check_staged_deletion(const held_parent& source, const held_parent& staging, const held_parent& quarantine,
                          const exact_file_description& description);

} // namespace anchorfs
