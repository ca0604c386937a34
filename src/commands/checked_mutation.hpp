// The course shared by the mutation commands that rename or link an existing
// file (rename-excl, rename-swap, unlink-checked, link-excl), written once:
// each command supplies its change, the check of it and its undo.
#pragma once

#include "anchor/root_anchor.hpp"
#include "core/command.hpp"

namespace anchorfs {

// Refers to a callable taking no argument, without owning it: a step lives
// only as long as the expression that made it (make the steps in the call).
template <typename Result>
class step_ref {
public:
    template <typename Callable>
    step_ref(const Callable& callable) // implicit: made from a lambda in place
        : callable_(&callable),
          call_([](const void* object) -> Result { return (*static_cast<const Callable*>(object))(); })
    {
    }
    Result operator()() const { return call_(callable_); }

private:
    const void* callable_;
    Result (*call_)(const void*);
};

struct mutation_steps {
    step_ref<bool> anchored; // every held parent is still the directory its path names
    step_ref<int> mutate;    // the one change: 0, or -1 with errno and nothing changed
    step_ref<bool> verify;   // the entries show the change
    step_ref<bool> settle;   // the undo after a failed check: true when the tree is back as it was
    int first_flushed;       // the directories flushed after the change, in this order
    int second_flushed;
};

// Anchored twice, the change, its check (or the undo), both directories
// flushed, anchored once more (or the undo). 0 on success; -1 with errno, and
// after a failed check ESTALE with the undo's verdict as the race code.
int run_checked_mutation(const mutation_steps& steps, command_report& report);

// The settlement of an exclusive rename of a described file (rename-excl, and
// the first move of unlink-checked): true only when the source holds the file
// and the destination is free afterwards. The file is moved back only while
// the destination still holds it; a file that another process put there
// instead is not the caller's and stays where it is.
bool settle_failed_rename(const held_parent& source, const held_parent& destination, const file_identity& identity);

} // namespace anchorfs
