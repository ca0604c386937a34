// recover-rename and recover-swap drive the tree back to its state from before
// an interrupted rename-excl or rename-swap, or fail without changing it.

#include "recovery/recovery.hpp"

#include "checked/checked_moves.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/failures.hpp"

#include <cerrno>
#include <unistd.h>

namespace anchorfs {

namespace {

bool holds(const bookmarked_parent& parent, const exact_file_description& file, struct stat* snapshot = nullptr)
{
    return exact_recovery_file_at(parent.fd.get(), parent.leaf, file, snapshot) == 0;
}

} // namespace

int recover_rename(const root_anchor& root, bookmarked_parent& source,
                   bookmarked_parent& destination, const exact_file_description& file)
{
    if (holds(source, file) && absent_at(destination.fd.get(), destination.leaf))
        return 0; // the rename never happened
    struct stat moved;
    if (!absent_at(source.fd.get(), source.leaf) || !holds(destination, file, &moved))
        return fail_identity_changed();
    if (!refresh_bookmarked_parents(root, &source, &destination))
        return fail_call_or_stale(); // ESTALE, or a shortage of descriptors
    errno = 0;
    if (!move_regular_checked(destination.fd.get(), destination.leaf, source.fd.get(), source.leaf, moved))
        return fail_call_or_stale();
    if (!holds(source, file) || !absent_at(destination.fd.get(), destination.leaf)) {
        restore_regular_after_failed_content_check(source.fd.get(), source.leaf, destination.fd.get(),
                                                   destination.leaf);
        return fail_identity_changed();
    }
    if (::fsync(source.fd.get()) != 0 || ::fsync(destination.fd.get()) != 0)
        return -1;
    return 0;
}

int recover_swap(const root_anchor& root, bookmarked_parent& a, bookmarked_parent& b,
                 const exact_file_description& file1, const exact_file_description& file2)
{
    if (holds(a, file1) && holds(b, file2))
        return 0; // the swap never happened
    if (absent_at(a.fd.get(), a.leaf) && holds(b, file2))
        return 0;
    struct stat at_a;
    struct stat at_b;
    if (!holds(a, file2, &at_a) || !holds(b, file1, &at_b))
        return fail_identity_changed();
    if (!refresh_bookmarked_parents(root, &a, &b))
        return fail_call_or_stale(); // ESTALE, or a shortage of descriptors
    errno = 0;
    if (!swap_regular_checked(a.fd.get(), a.leaf, b.fd.get(), b.leaf, at_a, at_b))
        return fail_call_or_stale();
    if (holds(a, file1) && holds(b, file2)) {
        if (::fsync(a.fd.get()) != 0 || ::fsync(b.fd.get()) != 0)
            return -1;
        return 0;
    }
    // Put the entries back where this run found them.
    if (regular_at(a.fd.get(), a.leaf, at_a) == 0 && regular_at(b.fd.get(), b.leaf, at_b) == 0)
        swap_regular_checked(a.fd.get(), a.leaf, b.fd.get(), b.leaf, at_a, at_b);
    return fail_identity_changed();
}

} // namespace anchorfs
