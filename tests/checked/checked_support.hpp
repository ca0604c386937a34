// Shared pieces of the checked-operation tests: directory descriptors to hand
// to the functions, descriptions of files as structs, the checked driver, and
// small tree helpers.
#pragma once

#include "platform/descriptor_path.hpp"
#include "core/argument_forms.hpp"
#include "support/checks.hpp"
#include "support/descriptors.hpp"
#include "support/harness.hpp"
#include "support/seam_options.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace anchorfs::test {

// A directory opened the way the walkers hand one over (readable, so that it
// can be flushed); closed on destruction.
struct held_dir {
    int fd = -1;
    explicit held_dir(const std::string& path)
        : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
        if (fd < 0)
            throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    }
    held_dir(const held_dir&) = delete;
    held_dir& operator=(const held_dir&) = delete;
    ~held_dir()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The set-up most checked tests share: a scratch root, held as a walker hands
// it over (a suite names it: `using DeleteRegular = held_root_test;`).
class held_root_test : public testing::Test {
protected:
    temp_root root;
    held_dir dir{root.path};
};

// The same for a table's test: `c` is the row.
template <class Case>
class held_root_table_test : public root_table_test<Case> {
protected:
    held_dir dir{this->root.path};
};

// Two directories below a scratch root, "from" and "to".
struct two_dirs {
    temp_root root;
    two_dirs()
    {
        make_dir(root.at("from"));
        make_dir(root.at("to"));
    }
    std::string from(const std::string& name = "") const { return root.at("from") + (name.empty() ? "" : "/" + name); }
    std::string to(const std::string& name = "") const { return root.at("to") + (name.empty() ? "" : "/" + name); }
};

// The same, both held (for the moves between them).
class two_held_dirs_test : public testing::Test {
protected:
    two_dirs t;
    held_dir from{t.from()};
    held_dir to{t.to()};
};

// An exact_file_description that owns its digest text.
struct file_description {
    file_identity identity;
    std::uint64_t size = 0;
    std::uint64_t modified_ns = 0;
    std::string digest;

    exact_file_description get() const
    {
        exact_file_description d;
        d.identity = identity;
        d.size = size;
        d.modified_ns = modified_ns;
        d.digest = digest.c_str();
        return d;
    }
    std::vector<std::string> args() const
    {
        return {std::to_string(identity.device), std::to_string(identity.inode), std::to_string(identity.link_count),
                std::to_string(identity.owner_uid), std::to_string(identity.mode), std::to_string(size),
                std::to_string(modified_ns), digest};
    }
};

inline file_description describe(const std::string& path)
{
    std::vector<std::string> slots = description_args(path);
    file_description d;
    d.identity.device = std::stoull(slots[0]);
    d.identity.inode = std::stoull(slots[1]);
    d.identity.link_count = std::stoull(slots[2]);
    d.identity.owner_uid = std::stoull(slots[3]);
    d.identity.mode = std::stoull(slots[4]);
    d.size = std::stoull(slots[5]);
    d.modified_ns = std::stoull(slots[6]);
    d.digest = slots[7];
    return d;
}

// Sets the modification time (and access time) of path without following a link.
inline void set_modified(const std::string& path, time_t seconds, long nanoseconds)
{
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("utimensat " + path + ": " + std::strerror(errno));
}

// A regular file whose modification time lies in the past, so that any later
// write moves it whatever the granularity of the file system's clock.
inline void write_aged_file(const std::string& path, std::string_view content, mode_t mode = 0644)
{
    write_file(path, content, mode);
    set_modified(path, 1000000000, 123456789);
}

inline void make_fifo(const std::string& path)
{
    if (::mkfifo(path.c_str(), 0644) != 0)
        throw std::runtime_error("mkfifo " + path + ": " + std::strerror(errno));
}

inline void make_symlink(const std::string& target, const std::string& path)
{
    if (::symlink(target.c_str(), path.c_str()) != 0)
        throw std::runtime_error("symlink " + path + ": " + std::strerror(errno));
}

inline void make_link(const std::string& existing, const std::string& path)
{
    if (::link(existing.c_str(), path.c_str()) != 0)
        throw std::runtime_error("link " + path + ": " + std::strerror(errno));
}

inline void move_entry(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw std::runtime_error("rename " + from + ": " + std::strerror(errno));
}

// The checked driver (driver.cpp): one checked function per run, its result and
// errno printed as "RESULT ERRNO".
inline run_result run_driver(const std::vector<std::string>& args, const run_options& options = {})
{
    return run_program(AREA_DRIVER, args, options);
}

inline std::string driver_line(int result, int error)
{
    return std::to_string(result) + " " + std::to_string(error) + "\n";
}

// The driver printed this result and nothing on standard error.
inline void expect_driver(const run_result& r, int result, int error)
{
    EXPECT_EQ(r.out, driver_line(result, error));
    EXPECT_EQ(r.err, "");
}

} // namespace anchorfs::test
