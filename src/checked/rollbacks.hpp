// Undo steps of the mutation commands. Each looks at the names as they are now,
// undoes the mutation only while the names still have the shape it produced,
// proves the undo and flushes the directories. True means all of that held.
#pragma once

#include "core/argument_forms.hpp"

namespace anchorfs {

bool rollback_renamed_entry(int source_dir, const char* source_name, int destination_dir,
                            const char* destination_name);
bool rollback_swapped_entries(int a_dir, const char* a_name, int b_dir, const char* b_name);
// `description` carries the link count the file had before the link.
bool rollback_linked_entry(int source_dir, const char* source_name, int destination_dir,
                           const char* destination_name, int staging_dir, const char* staging_name,
                           int quarantine_dir, const char* quarantine_leaf,
                           const exact_file_description& description);
bool rollback_created_file(int dir, const char* name, int created_fd);

} // namespace anchorfs
