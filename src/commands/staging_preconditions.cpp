#include "commands/staging_preconditions.hpp"

#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/descriptor_path.hpp"

#include <cerrno>

namespace anchorfs {

int check_staged_deletion(const held_parent& source, const held_parent& staging, const held_parent& quarantine,
                          const exact_file_description& description)
{
    if (!valid_durable_quarantine_leaf(quarantine.leaf)) {
        errno = EINVAL;
        return -1;
    }
    errno = 0;
    if (!same_directory_descriptor(staging.fd.get(), quarantine.fd.get()))
        return -1;
    if (!absent_at(staging.fd.get(), staging.leaf) || !absent_at(quarantine.fd.get(), quarantine.leaf))
        return -1;
    // The deletion at the end binds a reference through these names; a path
    // that cannot be read or would not fit must stop the run before the move.
    if (entry_path_fits(staging.fd.get(), staging.leaf) != 0
        || entry_path_fits(quarantine.fd.get(), quarantine.leaf) != 0)
        return -1;
    return exact_recovery_file_at(source.fd.get(), source.leaf, description);
}

} // namespace anchorfs
