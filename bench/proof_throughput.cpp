// One content proof of a whole file, as unlink-checked and link-excl run it:
// bench/run times this program against `openssl dgst -sha256` on the same file.
//
//   proof_throughput FILE DIGEST      exit 0 when the proof passed, 1 otherwise

#include "checked/content_proof.hpp"
#include "checked/probes.hpp"
#include "platform/owners.hpp"

#include <fcntl.h>
#include <sys/stat.h>

using namespace anchorfs;

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    unique_fd file(::open(argv[1], O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (!file.valid() || ::fstat(file.get(), &status) != 0)
        return 1;
    exact_file_description description;
    description.identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                            static_cast<std::uint64_t>(status.st_nlink), static_cast<std::uint64_t>(status.st_uid),
                            static_cast<std::uint64_t>(status.st_mode)};
    description.size = static_cast<std::uint64_t>(status.st_size);
    if (modified_nanoseconds(status, description.modified_ns) != 0)
        return 1;
    description.digest = argv[2];
    return exact_regular_content_descriptor(file.get(), description) == 0 ? 0 : 1;
}
