// Owners of descriptors, directory streams and heap buffers. Each release keeps
// errno as it was, so a failure path is simply `return -1;` with the reason of
// the failing step still in errno.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace anchorfs {

// Owns one descriptor from the moment it exists; -1 when empty. Openers
// return it, so a signature shows who closes what.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int f) noexcept : fd_(f) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    void reset(int next = -1) noexcept
    {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = next;
    }
    // Hands the descriptor over; the caller now closes it.
    [[nodiscard]] int release() noexcept
    {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A directory stream; closing it also closes the descriptor it was made from.
struct unique_dir {
    DIR* dir = nullptr;

    unique_dir() = default;
    explicit unique_dir(DIR* d) noexcept : dir(d) {}
    unique_dir(const unique_dir&) = delete;
    unique_dir& operator=(const unique_dir&) = delete;
    ~unique_dir() { reset(); }

    void reset() noexcept
    {
        if (dir != nullptr) {
            int saved = errno;
            ::closedir(dir);
            errno = saved;
        }
        dir = nullptr;
    }
    // Closes the stream and reports the close's own result.
    int close() noexcept
    {
        DIR* d = dir;
        dir = nullptr;
        return d != nullptr ? ::closedir(d) : 0;
    }
};

// A heap buffer from malloc; the caller may hand it over with release().
struct unique_buffer {
    static constexpr std::size_t huge_page_size = std::size_t{2} << 20;

    unsigned char* data = nullptr;
    std::size_t size = 0;

    unique_buffer() = default;
    unique_buffer(const unique_buffer&) = delete;
    unique_buffer& operator=(const unique_buffer&) = delete;
    unique_buffer(unique_buffer&& other) noexcept : data(other.data), size(other.size)
    {
        other.data = nullptr;
        other.size = 0;
    }
    unique_buffer& operator=(unique_buffer&& other) noexcept
    {
        if (this != &other) {
            reset();
            data = other.data;
            size = other.size;
            other.data = nullptr;
            other.size = 0;
        }
        return *this;
    }
    ~unique_buffer() { reset(); }

    // Allocates `capacity` bytes (at least one); false with malloc's errno.
    // A buffer of 2 MiB or more (a whole file being read) is aligned to 2 MiB
    // and asked to be backed by huge pages: filled page by page, 64 MiB of
    // fresh memory costs 16384 page faults, most of the time of a large read.
    // A refusal of the advice only costs that time.
    bool allocate(std::size_t capacity) noexcept
    {
        reset();
        if (capacity > SIZE_MAX - huge_page_size) {
            errno = ENOMEM;
            return false;
        }
        if (capacity >= huge_page_size) {
            std::size_t rounded = (capacity + huge_page_size - 1) & ~(huge_page_size - 1);
            data = static_cast<unsigned char*>(std::aligned_alloc(huge_page_size, rounded));
            if (data != nullptr) {
                int saved = errno;
                ::madvise(data, rounded, MADV_HUGEPAGE);
                errno = saved;
            }
        } else {
            data = static_cast<unsigned char*>(std::malloc(capacity == 0 ? 1 : capacity));
        }
        if (data == nullptr)
            return false;
        size = capacity;
        return true;
    }
    void reset() noexcept
    {
        if (data != nullptr) {
            int saved = errno;
            std::free(data);
            errno = saved;
        }
        data = nullptr;
        size = 0;
    }
};

} // namespace anchorfs
