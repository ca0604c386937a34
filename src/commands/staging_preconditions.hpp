#pragma once

#include "anchor/root_anchor.hpp"

namespace anchorfs {

// The preconditions of a staged deletion (unlink-checked, link-excl): the
// quarantine leaf has the durable form (EINVAL), the staging and quarantine
// parents are one directory (ESTALE), both names are free (EEXIST, or the
// status error), and the paths a reference bound through them needs can be
// read and fit (ENAMETOOLONG, or the error of reading /proc).
int check_staging_and_quarantine(const held_parent& staging, const held_parent& quarantine);

} // namespace anchorfs
