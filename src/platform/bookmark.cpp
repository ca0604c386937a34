#include "platform/bookmark.hpp"

#include "platform/descriptor_path.hpp"
#include "platform/directory_open.hpp"
#include "platform/mount_status.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace anchorfs {

namespace {

constexpr unsigned char record_magic[4] = {'A', 'F', 'B', 'K'};
constexpr unsigned char record_version = 1;
constexpr unsigned char flag_handle = 1;
constexpr std::size_t largest_handle = 128; // MAX_HANDLE_SZ
constexpr std::size_t largest_record = 65536;

struct record_writer {
    unsigned char* at;
    void bytes(const void* data, std::size_t count)
    {
        std::memcpy(at, data, count);
        at += count;
    }
    void u8(unsigned value) { *at++ = static_cast<unsigned char>(value); }
    void u16(unsigned value)
    {
        u8(value & 0xFF);
        u8((value >> 8) & 0xFF);
    }
    void u32(std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            u8((value >> (8 * i)) & 0xFF);
    }
    void u64(std::uint64_t value)
    {
        for (int i = 0; i < 8; ++i)
            u8(static_cast<unsigned>((value >> (8 * i)) & 0xFF));
    }
};

// Bounds-checked reading of an untrusted record.
struct record_reader {
    std::span<const unsigned char> data;
    std::size_t at = 0;
    bool ok = true;

    bool take(std::size_t count)
    {
        if (!ok || count > data.size() - at) {
            ok = false;
            return false;
        }
        return true;
    }
    std::uint64_t little_endian(std::size_t count)
    {
        if (!take(count))
            return 0;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i)
            value |= static_cast<std::uint64_t>(data[at + i]) << (8 * i);
        at += count;
        return value;
    }
    const unsigned char* bytes(std::size_t count)
    {
        if (!take(count))
            return nullptr;
        const unsigned char* start = data.data() + at;
        at += count;
        return start;
    }
};

// The checks every directory the search enters must pass, both an entry it
// meets in a listing and a directory it reopens to list: a directory reached
// without following a symbolic link, on the device the search started on.
// `name` empty: `dir` itself.
bool searchable_directory(int dir, const char* name, const struct stat& start, struct stat& status)
{
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    errno = 0; // a refusal without a failed call leaves 0
    // A mount point is not searched: the search stays on the root's mount.
    mount_place place;
    return status_with_mount(dir, name, flags, status, place) == 0 && !place.mount_root && S_ISDIR(status.st_mode)
           && status.st_dev == start.st_dev;
}

// The queue of directory_by_inode's breadth-first search, in memory it owns:
// directories as (parent index, depth, offset of the name, inode) with the
// names in one text arena. It grows with realloc and reports ENOMEM instead of
// ending the run; the heap is released on every path.
//
// A queued directory is reopened by walking down from its nearest ancestor
// still held: the search holds the descriptors of the few directories it
// listed last, so in a chain or below a directory with many subdirectories a
// directory is reopened from its parent in one step. Every step walked is
// charged to a budget of its own, so a tree shaped to defeat the held few
// (more interleaved chains than descriptors held) ends the search instead of
// making it walk each chain again from the start.
struct search_queue {
    static constexpr std::size_t no_parent = static_cast<std::size_t>(-1);
    static constexpr std::size_t held_count = directory_by_inode_held;
    struct node {
        std::size_t parent;
        std::size_t depth; // 0 for the directory the search starts from
        std::size_t name;  // offset into names
        ino_t inode;       // as met in its parent's listing
    };

    node* nodes = nullptr;
    std::size_t count = 0;
    std::size_t node_capacity = 0;
    char* names = nullptr;
    std::size_t names_used = 0;
    std::size_t names_capacity = 0;
    std::size_t* chain = nullptr; // the steps from a held ancestor down to the node being opened
    std::size_t chain_capacity = 0;
    std::size_t held_index[held_count];
    unique_fd held[held_count];
    std::size_t next_held = 0;
    std::uint64_t steps_left = directory_by_inode_walk_budget;

    search_queue()
    {
        for (std::size_t& index : held_index)
            index = no_parent;
    }
    search_queue(const search_queue&) = delete;
    search_queue& operator=(const search_queue&) = delete;
    ~search_queue()
    {
        int saved = errno;
        std::free(nodes);
        std::free(names);
        std::free(chain);
        errno = saved;
    }

    template <typename T>
    static bool reserve(T*& data, std::size_t& capacity, std::size_t needed)
    {
        if (needed <= capacity)
            return true;
        std::size_t grown = capacity < 64 ? 64 : capacity;
        while (grown < needed)
            grown *= 2;
        void* moved = std::realloc(data, grown * sizeof(T));
        if (moved == nullptr)
            return false; // errno is ENOMEM
        data = static_cast<T*>(moved);
        capacity = grown;
        return true;
    }

    bool push(std::size_t parent, std::size_t depth, const char* name, ino_t inode)
    {
        std::size_t length = std::strlen(name) + 1;
        if (!reserve(nodes, node_capacity, count + 1) || !reserve(names, names_capacity, names_used + length))
            return false;
        std::memcpy(names + names_used, name, length);
        nodes[count++] = {parent, depth, names_used, inode};
        names_used += length;
        return true;
    }

    // Keeps a listed directory's descriptor in place of the oldest one held.
    void hold(std::size_t index, unique_fd directory)
    {
        held_index[next_held] = index;
        held[next_held] = std::move(directory);
        next_held = (next_held + 1) % held_count;
    }

    int held_descriptor(std::size_t index) const
    {
        for (std::size_t slot = 0; slot < held_count; ++slot) {
            if (held_index[slot] == index)
                return held[slot].get();
        }
        return -1;
    }

    // Opens the node's directory from its nearest held ancestor (the start
    // directory at worst) and checks every directory on the way; false when
    // memory, descriptors or the step budget ran out (errno ENOMEM, EMFILE,
    // ENFILE or ENOENT), otherwise `opened` holds the directory, or is empty
    // when it moved or vanished.
    bool open_node(int start_fd, const struct stat& start, std::size_t index, unique_fd& opened)
    {
        opened.reset();
        if (!reserve(chain, chain_capacity, nodes[index].depth))
            return false;
        std::size_t steps = 0;
        int base = start_fd;
        for (std::size_t at = index; nodes[at].parent != no_parent; at = nodes[at].parent) {
            int fd = held_descriptor(at);
            if (fd >= 0) {
                base = fd;
                break;
            }
            if (steps_left == 0) {
                errno = ENOENT;
                return false;
            }
            --steps_left;
            chain[steps++] = at;
        }
        if (steps == 0) {
            opened.reset(::fcntl(base, F_DUPFD_CLOEXEC, 0));
            return opened.valid() || !resource_shortage(errno);
        }
        unique_fd current;
        while (steps > 0) {
            const node& step = nodes[chain[--steps]];
            unique_fd next = open_directory_at(current.valid() ? current.get() : base, names + step.name);
            struct stat status;
            if (next.valid() && (!searchable_directory(next.get(), "", start, status) || status.st_ino != step.inode))
                next.reset();
            if (!next.valid())
                return !resource_shortage(errno);
            current = std::move(next);
        }
        opened = std::move(current);
        return true;
    }
};

} // namespace

int filesystem_identifier_of(int dir_fd, filesystem_identifier& identifier)
{
    struct statfs status;
    if (::fstatfs(dir_fd, &status) != 0)
        return -1;
    identifier.directory_fd = dir_fd;
    identifier.fsid = status.f_fsid;
    return 0;
}

int make_bookmark_record(int dir_fd, const struct stat& status, unique_buffer& record)
{
    static char path[full_path_capacity];
    if (descriptor_path(dir_fd, path) != 0)
        return -1;
    std::size_t path_length = std::strlen(path);

    alignas(file_handle) unsigned char storage[sizeof(file_handle) + largest_handle];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = largest_handle;
    int mount_id = 0;
    // A file system without handles (or a refusal) only means the record holds none.
    bool has_handle = ::name_to_handle_at(dir_fd, "", handle, &mount_id, AT_EMPTY_PATH) == 0
                      && handle->handle_bytes <= largest_handle;
    std::size_t handle_length = has_handle ? handle->handle_bytes : 0;

    std::size_t size = 4 + 1 + 1 + 2 + 8 + 8 + 4 + 4 + handle_length + 4 + path_length;
    if (!record.allocate(size))
        return -1;
    record_writer writer{record.data};
    writer.bytes(record_magic, 4);
    writer.u8(record_version);
    writer.u8(has_handle ? flag_handle : 0);
    writer.u16(0);
    writer.u64(static_cast<std::uint64_t>(status.st_dev));
    writer.u64(static_cast<std::uint64_t>(status.st_ino));
    writer.u32(static_cast<std::uint32_t>(has_handle ? handle->handle_type : 0));
    writer.u32(static_cast<std::uint32_t>(handle_length));
    if (has_handle)
        writer.bytes(handle->f_handle, handle_length);
    writer.u32(static_cast<std::uint32_t>(path_length));
    writer.bytes(path, path_length);
    return 0;
}

bool decode_bookmark_record(std::span<const unsigned char> bytes, bookmark_record& out)
{
    if (bytes.size() < 4 || bytes.size() > largest_record || std::memcmp(bytes.data(), record_magic, 4) != 0)
        return false;
    record_reader reader{bytes, 4};
    if (reader.little_endian(1) != record_version)
        return false;
    std::uint64_t flags = reader.little_endian(1);
    if (reader.little_endian(2) != 0 || (flags & ~std::uint64_t{flag_handle}) != 0)
        return false;
    out.device = reader.little_endian(8);
    out.inode = reader.little_endian(8);
    out.has_handle = (flags & flag_handle) != 0;
    out.handle_type = static_cast<int>(static_cast<std::int32_t>(reader.little_endian(4)));
    out.handle_length = static_cast<std::size_t>(reader.little_endian(4));
    if (!reader.ok || out.handle_length > largest_handle || (!out.has_handle && out.handle_length != 0))
        return false;
    out.handle = reader.bytes(out.handle_length);
    out.path_length = static_cast<std::size_t>(reader.little_endian(4));
    if (!reader.ok || out.path_length == 0 || out.path_length >= full_path_capacity)
        return false;
    out.path = reader.bytes(out.path_length);
    if (!reader.ok || reader.at != bytes.size() || out.path[0] != '/')
        return false;
    // No terminator may hide inside the recorded path.
    return std::memchr(out.path, '\0', out.path_length) == nullptr;
}

unique_fd open_bookmark_handle(const bookmark_record& record, int mount_fd)
{
    if (!record.has_handle) {
        errno = EINVAL;
        return {};
    }
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + largest_handle];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = static_cast<unsigned>(record.handle_length);
    handle->handle_type = record.handle_type;
    std::memcpy(handle->f_handle, record.handle, record.handle_length);
    // Needs CAP_DAC_READ_SEARCH; without it this fails with EPERM. O_PATH: the
    // object, whatever its type, is only looked at.
    return unique_fd(::open_by_handle_at(mount_fd, handle, O_PATH | O_CLOEXEC));
}

bool recorded_path_below(const bookmark_record& record, const char* base_path, char* relative)
{
    std::size_t base_length = std::strlen(base_path);
    if (base_length == 1 && base_path[0] == '/')
        base_length = 0; // every absolute path lies below "/"
    const auto* path = reinterpret_cast<const char*>(record.path);
    if (record.path_length < base_length || std::memcmp(path, base_path, base_length) != 0)
        return false;
    // The base must end at a name's end: "/r" is not above "/r2".
    std::size_t rest = record.path_length - base_length;
    if (rest == 0 || (base_length == 0 && rest == 1)) {
        std::strcpy(relative, ".");
        return true;
    }
    if (path[base_length] != '/' || rest == 1)
        return false;
    std::memcpy(relative, path + base_length + 1, rest - 1);
    relative[rest - 1] = '\0';
    return true;
}

bool resource_shortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

unique_fd directory_by_inode(const filesystem_identifier& identifier, std::uint64_t inode)
{
    struct stat top;
    if (::fstat(identifier.directory_fd, &top) != 0)
        return {};
    if (static_cast<std::uint64_t>(top.st_ino) == inode)
        return unique_fd(::fcntl(identifier.directory_fd, F_DUPFD_CLOEXEC, 0));

    // Breadth first over directories; each queued directory is its parent's
    // index and its own name, so memory stays proportional to what was seen.
    search_queue queue;
    if (!queue.push(search_queue::no_parent, 0, "", top.st_ino))
        return {};
    std::uint64_t examined = 0;

    for (std::size_t index = 0; index < queue.count; ++index) {
        unique_fd directory;
        if (!queue.open_node(identifier.directory_fd, top, index, directory))
            return {};
        if (!directory.valid())
            continue; // moved or removed meanwhile; the search goes on
        unique_fd listing(::openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        unique_dir stream(listing.valid() ? ::fdopendir(listing.get()) : nullptr);
        if (stream.dir == nullptr) {
            if (resource_shortage(errno))
                return {};
            continue; // a directory the process may not list is skipped
        }
        static_cast<void>(listing.release()); // the stream closes it now
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(stream.dir);
            if (entry == nullptr) {
                if (resource_shortage(errno))
                    return {};
                break;
            }
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            if (++examined > directory_by_inode_entry_budget) {
                errno = ENOENT;
                return {};
            }
            if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
                continue;
            struct stat status;
            if (!searchable_directory(directory.get(), entry->d_name, top, status)) {
                if (resource_shortage(errno))
                    return {};
                continue;
            }
            if (static_cast<std::uint64_t>(status.st_ino) == inode)
                return open_directory_at(directory.get(), entry->d_name);
            if (!queue.push(index, queue.nodes[index].depth + 1, entry->d_name, status.st_ino))
                return {};
        }
        stream.reset();
        queue.hold(index, std::move(directory));
    }
    errno = ENOENT;
    return {};
}

} // namespace anchorfs
