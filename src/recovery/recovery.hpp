// Settling the tree after a rename, swap, checked unlink or exclusive link was
// interrupted between its mutation and its report.
#pragma once

#include "anchor/bookmarks.hpp"
#include "anchor/root_anchor.hpp"
#include "core/argument_forms.hpp"
#include "core/command.hpp"

namespace anchorfs {

int recover_rename(const root_anchor& root, bookmarked_parent& source,
                   bookmarked_parent& destination, const exact_file_description& file);
int recover_swap(const root_anchor& root, bookmarked_parent& a, bookmarked_parent& b,
                 const exact_file_description& file1, const exact_file_description& file2);
int recover_unlink(const root_anchor& root, bookmarked_parent& source, bookmarked_parent& staging,
                   bookmarked_parent& quarantine, const exact_file_description& file);
int recover_link(const root_anchor& root, bookmarked_parent& source,
                 bookmarked_parent& destination, bookmarked_parent& staging, bookmarked_parent& quarantine,
                 const exact_file_description& file);

int run_recover_rename(const command_context& context, command_report& report);
int run_recover_swap(const command_context& context, command_report& report);
int run_recover_unlink(const command_context& context, command_report& report);
int run_recover_link(const command_context& context, command_report& report);

} // namespace anchorfs
