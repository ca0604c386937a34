// File references: equality by device, inode and mount id, their current path,
// and deletion under the bound name only while that name designates the object.

#include "platform/descriptor_path.hpp"
#include "platform/file_reference.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

// A reference by the last name of `path`, from its held parent directory.
file_reference reference_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    unique_fd dir(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    file_reference reference;
    if (file_reference_at(dir.get(), path.c_str() + slash + 1, reference) != 0)
        ADD_FAILURE() << "no reference for " << path << ": errno " << errno;
    return reference;
}

// A reference bound through the held directory `dir` and `name`.
file_reference bound_reference(const temp_root& root, int dir, const char* name)
{
    file_reference reference = reference_of(root.at(name));
    reference.bound_dir = dir;
    reference.bound_name = name;
    return reference;
}

struct held {
    unique_fd fd;
    explicit held(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
};

TEST(FileReference, SameObjectEqualOtherObjectNot)
{
    temp_root root;
    write_file(root.at("f"), "x");
    write_file(root.at("g"), "x");
    ASSERT_EQ(::link(root.at("f").c_str(), root.at("f2").c_str()), 0);

    file_reference f = reference_of(root.at("f"));
    EXPECT_TRUE(same_file_reference(f, reference_of(root.at("f"))));
    EXPECT_TRUE(same_file_reference(f, reference_of(root.at("f2"))));
    EXPECT_FALSE(same_file_reference(f, reference_of(root.at("g"))));
    EXPECT_FALSE(same_file_reference(f, reference_of("/proc/self"))); // another device
    // The same file through a bind mount is another place.
    make_dir(root.at("bound"));
    if (::mount(root.path.c_str(), root.at("bound").c_str(), nullptr, MS_BIND, nullptr) == 0) {
        file_reference through_mount = reference_of(root.at("bound/f"));
        ::umount2(root.at("bound").c_str(), MNT_DETACH);
        EXPECT_FALSE(same_file_reference(f, through_mount));
    }
    EXPECT_FALSE(f.directory());
    EXPECT_TRUE(reference_of(root.path).directory());
}

// A reference is valid while its own descriptor shows every recorded number;
// a record that differs from it in any one of them is refused with ESTALE.
TEST(FileReference, ValidOnlyWhileItsDescriptorShowsTheRecordedNumbers)
{
    temp_root root;
    write_file(root.at("f"), "x");
    EXPECT_TRUE(valid_file_reference(reference_of(root.at("f"))));
    EXPECT_TRUE(valid_file_reference(reference_of(root.path)));

    void (*const alterations[])(file_reference&) = {
        [](file_reference& r) { r.device += 1; },
        [](file_reference& r) { r.inode += 1; },
        [](file_reference& r) { r.mount_id += 1; },
        [](file_reference& r) { r.type = S_IFDIR; },
    };
    for (std::size_t i = 0; i < std::size(alterations); ++i) {
        file_reference altered = reference_of(root.at("f"));
        alterations[i](altered);
        errno = 0;
        EXPECT_FALSE(valid_file_reference(altered)) << "alteration " << i;
        EXPECT_EQ(errno, ESTALE) << "alteration " << i;
    }
}

// The reference holds the object, not the name: a link is never followed, and
// the path follows the object when it is renamed.
TEST(FileReference, LinkNotFollowedPathFollowsTheObject)
{
    temp_root root;
    write_file(root.at("f"), "x");
    ASSERT_EQ(::symlink("f", root.at("link").c_str()), 0);
    EXPECT_FALSE(same_file_reference(reference_of(root.at("link")), reference_of(root.at("f"))));

    file_reference f = reference_of(root.at("f"));
    ASSERT_EQ(::rename(root.at("f").c_str(), root.at("moved").c_str()), 0);
    char path[full_path_capacity];
    ASSERT_EQ(file_reference_path(f, path), 0);
    EXPECT_EQ(std::string(path), root.at("moved"));
    ASSERT_EQ(::unlink(root.at("moved").c_str()), 0);
    errno = 0;
    EXPECT_EQ(file_reference_path(f, path), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A missing name gives ENOENT; a mount placed on the name, which would lead
// off the held directory's mount, ESTALE.
TEST(FileReference, MissingName_EnoentMountOnTheName_Estale)
{
    temp_root root;
    held dir(root.path);
    file_reference reference;
    errno = 0;
    EXPECT_EQ(file_reference_at(dir.fd.get(), "missing", reference), -1);
    EXPECT_EQ(errno, ENOENT);
    make_dir(root.at("m"));
    if (::mount(root.path.c_str(), root.at("m").c_str(), nullptr, MS_BIND, nullptr) == 0) {
        errno = 0;
        int result = file_reference_at(dir.fd.get(), "m", reference);
        int error = errno;
        ::umount2(root.at("m").c_str(), MNT_DETACH);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, ESTALE);
    }
}

TEST(DeleteByReference, BoundName_FileAndEmptyDirectoryRemoved)
{
    temp_root root;
    write_file(root.at("f"), "x");
    make_dir(root.at("d"));
    held dir(root.path);

    EXPECT_EQ(delete_by_reference(bound_reference(root, dir.fd.get(), "f")), 0);
    EXPECT_EQ(delete_by_reference(bound_reference(root, dir.fd.get(), "d")), 0);
    EXPECT_FALSE(exists(root.at("f")));
    EXPECT_FALSE(exists(root.at("d")));
}

TEST(DeleteByReference, NameReplaced_EstaleNewcomerKept)
{
    temp_root root;
    write_file(root.at("f"), "bound");
    held dir(root.path);
    file_reference reference = bound_reference(root, dir.fd.get(), "f");
    write_file(root.at("newcomer"), "newcomer");
    ASSERT_EQ(::rename(root.at("newcomer").c_str(), root.at("f").c_str()), 0);

    errno = 0;
    EXPECT_EQ(delete_by_reference(reference), -1);
    EXPECT_EQ(errno, ESTALE);
    EXPECT_EQ(read_file(root.at("f")), "newcomer");
}

TEST(DeleteByReference, Refusals)
{
    temp_root root;
    write_file(root.at("f"), "x");
    make_dir(root.at("d"));
    write_file(root.at("d/inside"), "kept");
    held dir(root.path);

    file_reference unbound = reference_of(root.at("f"));
    errno = 0;
    EXPECT_EQ(delete_by_reference(unbound), -1);
    EXPECT_EQ(errno, EINVAL);
    file_reference unnamed = bound_reference(root, dir.fd.get(), "f");
    unnamed.bound_name = nullptr;
    errno = 0;
    EXPECT_EQ(delete_by_reference(unnamed), -1);
    EXPECT_EQ(errno, EINVAL);

    file_reference moved_away = bound_reference(root, dir.fd.get(), "f");
    ASSERT_EQ(::rename(root.at("f").c_str(), root.at("g").c_str()), 0);
    errno = 0;
    EXPECT_EQ(delete_by_reference(moved_away), -1);
    EXPECT_EQ(errno, ENOENT);

    errno = 0;
    EXPECT_EQ(delete_by_reference(bound_reference(root, dir.fd.get(), "d")), -1);
    EXPECT_EQ(errno, ENOTEMPTY);

    EXPECT_TRUE(exists(root.at("g")));
    EXPECT_TRUE(exists(root.at("d/inside")));
}

} // namespace
