// recover-unlink completes an interrupted unlink-checked; recover-link takes
// away the extra link of an interrupted link-excl. Both carry the file forward
// through the staging and durable quarantine names and delete it there by content.

#include "recovery/recovery.hpp"

#include "checked/checked_deletes.hpp"
#include "checked/checked_moves.hpp"
#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"
#include "platform/failures.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace anchorfs {

namespace {

bool absent(const bookmarked_parent& parent)
{
    return absent_at(parent.fd.get(), parent.leaf);
}

bool holds(const bookmarked_parent& parent, const exact_file_description& file, struct stat* snapshot = nullptr)
{
    return exact_recovery_file_at(parent.fd.get(), parent.leaf, file, snapshot) == 0;
}

// Both commands refuse a malformed quarantine before any name is looked at.
bool quarantine_well_formed(const bookmarked_parent& staging, const bookmarked_parent& quarantine)
{
    return valid_durable_quarantine_leaf(quarantine.leaf) && same_directory_descriptor(staging.fd.get(), quarantine.fd.get());
}

// The deletion through the quarantine binds a reference through these names:
// their paths must be readable and fit before anything moves.
bool references_can_be_bound(const bookmarked_parent& staging, const bookmarked_parent& quarantine)
{
    return entry_path_fits(staging.fd.get(), staging.leaf) == 0
           && entry_path_fits(quarantine.fd.get(), quarantine.leaf) == 0;
}

// Whether two groups name one and the same directory entry.
bool same_entry(const bookmarked_parent& first, const bookmarked_parent& second)
{
    return std::strcmp(first.leaf, second.leaf) == 0 && same_directory_descriptor(first.fd.get(), second.fd.get());
}

exact_file_description with_link_count(const exact_file_description& file, std::uint64_t link_count)
{
    exact_file_description adjusted = file;
    adjusted.identity.link_count = link_count;
    return adjusted;
}

} // namespace

int recover_unlink(const root_anchor& root, bookmarked_parent& source, bookmarked_parent& staging,
                   bookmarked_parent& quarantine, const exact_file_description& file)
{
    if (!quarantine_well_formed(staging, quarantine))
        return fail_identity_changed();
    if (!references_can_be_bound(staging, quarantine))
        return -1;
    auto refresh = [&] { return refresh_bookmarked_parents(root, &source, &staging, &quarantine); };

    enum class found { absent, holds, other };
    struct stat snapshot;
    auto check = [&](const bookmarked_parent& parent, struct stat& status) {
        if (absent(parent))
            return found::absent;
        return holds(parent, file, &status) ? found::holds : found::other;
    };
    found at_source = check(source, snapshot);
    struct stat staged;
    found at_staging = check(staging, staged);
    struct stat quarantined;
    found at_quarantine = check(quarantine, quarantined);
    int holding = (at_source == found::holds) + (at_staging == found::holds) + (at_quarantine == found::holds);
    if (at_source == found::other || at_staging == found::other || at_quarantine == found::other || holding > 1)
        return fail_identity_changed();
    if (holding == 0)
        return 0; // the unlink had completed

    if (at_source == found::holds) {
        errno = 0;
        if (!refresh())
            return fail_call_or_stale();
        errno = 0;
        if (!move_regular_checked(source.fd.get(), source.leaf, staging.fd.get(), staging.leaf, snapshot))
            return fail_call_or_stale();
        if (!holds(staging, file) || !absent(source))
            return fail_call_or_stale();
        if (::fsync(source.fd.get()) != 0 || ::fsync(staging.fd.get()) != 0)
            return fail_call_or_stale();
        at_staging = found::holds;
    }
    if (at_staging == found::holds) {
        errno = 0;
        if (!refresh() || !holds(staging, file, &staged))
            return fail_call_or_stale();
        if (!refresh())
            return fail_identity_changed();
        errno = 0;
        if (!move_to_durable_quarantine(staging.fd.get(), staging.leaf, quarantine.fd.get(), quarantine.leaf, staged))
            return fail_call_or_stale();
        errno = 0;
        if (!refresh())
            return fail_call_or_stale();
    } else {
        errno = 0;
        if (!refresh())
            return fail_call_or_stale();
    }
    errno = 0;
    if (!delete_exact_regular_content_checked(quarantine.fd.get(), quarantine.leaf, file))
        return fail_call_or_stale();

    if (!absent(source) || !absent(staging) || !absent(quarantine))
        return fail_identity_changed();
    errno = 0;
    if (::fsync(source.fd.get()) != 0 || ::fsync(staging.fd.get()) != 0 || ::fsync(quarantine.fd.get()) != 0) {
        if (errno == 0)
            errno = EIO;
        return -1;
    }
    return 0;
}

int recover_link(const root_anchor& root, bookmarked_parent& source,
                 bookmarked_parent& destination, bookmarked_parent& staging, bookmarked_parent& quarantine,
                 const exact_file_description& file)
{
    const std::uint64_t c = file.identity.link_count;
    if (c == 0 || c == UINT64_MAX || !quarantine_well_formed(staging, quarantine))
        return fail_identity_changed();
    if (!references_can_be_bound(staging, quarantine))
        return -1;
    auto refresh = [&] {
        return refresh_bookmarked_parents(root, &source, &destination, &staging, &quarantine);
    };

    // Each name either holds the file (link count aside) or is missing.
    struct probe {
        bool holds = false;
        struct stat status {};
    };
    auto check = [&](const bookmarked_parent& parent, probe& result) {
        if (exact_regular_content_at(parent.fd.get(), parent.leaf, file, &result.status) == 0) {
            result.holds = true;
            return true;
        }
        return errno == ENOENT;
    };
    probe at_source;
    probe at_destination;
    probe at_staging;
    probe at_quarantine;
    if (!check(source, at_source) || !check(destination, at_destination) || !check(staging, at_staging)
        || !check(quarantine, at_quarantine))
        return fail_identity_changed();
    int extras = at_destination.holds + at_staging.holds + at_quarantine.holds;
    if (extras > 1)
        return fail_identity_changed();
    const probe* extra = at_destination.holds ? &at_destination
                         : at_staging.holds   ? &at_staging
                         : at_quarantine.holds ? &at_quarantine
                                               : nullptr;
    const bookmarked_parent* extra_group = at_destination.holds ? &destination
                                           : at_staging.holds   ? &staging
                                           : at_quarantine.holds ? &quarantine
                                                                 : nullptr;
    // A call whose extra name is the source entry itself would take away the
    // source's own name.
    if (extra_group != nullptr && same_entry(source, *extra_group))
        return fail_identity_changed();
    const std::uint64_t e = at_source.holds ? c + 1 : c;
    if (extra == nullptr) {
        if (at_source.holds && at_source.status.st_nlink != c)
            return fail_identity_changed();
    } else {
        if (extra->status.st_nlink != e)
            return fail_identity_changed();
        if (at_source.holds
            && (at_source.status.st_dev != extra->status.st_dev || at_source.status.st_ino != extra->status.st_ino
                || at_source.status.st_nlink != e))
            return fail_identity_changed();
        // With the source name gone, a single remaining link is the file's
        // last name: taking it away would delete the user's file.
        if (!at_source.holds && extra->status.st_nlink == 1)
            return fail_identity_changed();
    }
    const exact_file_description linked = with_link_count(file, e);

    if (at_destination.holds) {
        errno = 0;
        if (!refresh())
            return fail_identity_changed();
        errno = 0;
        if (!move_regular_checked(destination.fd.get(), destination.leaf, staging.fd.get(), staging.leaf,
                                  at_destination.status))
            return fail_call_or_stale();
        if (!absent(destination) || !holds(staging, linked)) {
            restore_regular_after_failed_content_check(staging.fd.get(), staging.leaf, destination.fd.get(),
                                                       destination.leaf);
            return fail_identity_changed();
        }
        if (::fsync(destination.fd.get()) != 0 || ::fsync(staging.fd.get()) != 0)
            return -1;
        at_staging.holds = true;
    }
    if (at_staging.holds) {
        if (!absent(destination))
            return -1; // EEXIST, or the status error
        struct stat staged;
        if (!refresh() || !holds(staging, linked, &staged) || !refresh())
            return fail_identity_changed();
        errno = 0;
        if (!move_to_durable_quarantine(staging.fd.get(), staging.leaf, quarantine.fd.get(), quarantine.leaf, staged))
            return fail_call_or_stale();
        at_quarantine.holds = true;
    } else if (at_quarantine.holds && !absent(destination)) {
        return fail_identity_changed();
    }
    if (at_quarantine.holds) {
        if (!refresh())
            return fail_identity_changed();
        errno = 0;
        if (!delete_exact_regular_content_checked(quarantine.fd.get(), quarantine.leaf, linked))
            return fail_call_or_stale();
    }

    if (!absent(destination) || !absent(staging) || !absent(quarantine))
        return fail_identity_changed();
    if (at_source.holds ? !holds(source, file) : !absent(source))
        return fail_identity_changed();
    return 0;
}

} // namespace anchorfs
