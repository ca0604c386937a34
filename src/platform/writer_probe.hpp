// Whether another process holds a file open for writing. Stores through a
// shared writable mapping to pages that are already dirty change neither the
// modification nor the change time, so a file whose status stayed the same
// may still have been rewritten while it was read. Linux grants a read lease
// only while no descriptor and no shared mapping of the file can write it;
// that refusal is the one sign of such a writer the kernel gives.
#pragma once

namespace anchorfs {

// Takes a read lease on the file behind fd and drops it at once. 0 when the
// lease was granted (no writer at that moment), and also when it cannot be
// taken for a reason that says nothing about writers: not the file's owner
// without CAP_LEASE (EACCES, EPERM), leases disabled or not supported by the
// file system (EINVAL); the probe is then skipped. -1 with ESTALE when a
// writer holds the file, or broke the lease and had it taken away before the
// drop; -1 with the errno of fcntl otherwise.
// fd must be open read-only, and the caller must hold no writable descriptor
// or mapping of the file itself: its own writer counts like anyone else's.
int probe_no_other_writer(int fd);

} // namespace anchorfs
