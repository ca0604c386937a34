// The twenty requests as argument vectors, in the helper's slot order.

#include "invocation.hpp"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace anchorfs::client {

using detail::Invocation;
using detail::RaceCodes;
using detail::SuccessShape;

namespace {

std::string decimal(std::uint64_t value)
{
    return std::to_string(value);
}

struct argument_builder {
    Invocation invocation;

    argument_builder(const char* command, const RootAnchor& root)
    {
        invocation.args = {command, root.path, decimal(root.device), decimal(root.inode), decimal(root.uid)};
    }
    argument_builder& text(const std::string& value)
    {
        invocation.args.push_back(value);
        return *this;
    }
    // Only the first refusal is kept: it names the argument and its rule.
    void refuse(const char* argument, const char* rule)
    {
        if (invocation.refusal.empty())
            invocation.refusal = std::string(argument) + ": " + rule;
    }
    argument_builder& path(const char* argument, const std::string& value)
    {
        if (const char* rule = detail::path_refusal(value))
            refuse(argument, rule);
        return text(value);
    }
    argument_builder& whole_mode(const char* argument, const FileIdentity& file)
    {
        if (!S_ISREG(file.mode))
            refuse(argument, "an identity's mode is the whole mode word with its file-type bits (0100644, not 0644)");
        return *this;
    }
    argument_builder& number(std::uint64_t value)
    {
        invocation.args.push_back(decimal(value));
        return *this;
    }
    argument_builder& identity(const FileIdentity& file)
    {
        return number(file.device).number(file.inode).number(file.link_count).number(file.uid).number(file.mode);
    }
    argument_builder& description(const FileDescription& file)
    {
        whole_mode("file", file.identity);
        return identity(file.identity).number(file.size).number(file.mtime_ns).text(file.sha256);
    }
    argument_builder& parent(const BookmarkedParent& group)
    {
        return text(group.bookmark)
            .number(group.device)
            .number(group.inode)
            .number(group.uid)
            .text(group.directory)
            .text(group.leaf);
    }
    argument_builder& shape(SuccessShape value)
    {
        invocation.shape = value;
        return *this;
    }
    argument_builder& races(RaceCodes value)
    {
        invocation.races = value;
        return *this;
    }
    argument_builder& input(std::string_view content)
    {
        if (content.size() > max_content_size)
            refuse("content", "content over 67108864 bytes (64 MiB)");
        invocation.input = content;
        return *this;
    }
    argument_builder& size_bound(std::uint64_t bound)
    {
        invocation.size_bound = bound;
        return *this;
    }
};

Result refused(const Invocation& invocation)
{
    Result result;
    result.kind = ResultKind::failure;
    result.code = Code::einval;
    result.error = EINVAL;
    result.refusal = invocation.refusal;
    return result;
}

Result execute(const Helper& helper, const Limits& limits, argument_builder& built)
{
    const Invocation& invocation = built.invocation;
    if (!invocation.refusal.empty())
        return refused(invocation);
    std::vector<std::string> argv;
    argv.reserve(invocation.args.size() + 1);
    argv.push_back(helper.path);
    argv.insert(argv.end(), invocation.args.begin(), invocation.args.end());
    // Only the read commands may follow their line with bytes; one byte more
    // than the most they may send is enough to see that there was more.
    std::size_t limit = detail::max_line_length + 1;
    if (invocation.shape == SuccessShape::size)
        limit += max_content_size;
    return detail::interpret(invocation, detail::exchange(helper, limits, argv, invocation.input, limit));
}

// A create that succeeded describes its new file.
Result describe_after(Result result, const RootAnchor& root, const std::string& path, std::string_view content)
{
    if (!result.ok())
        return result;
    if (detail::describe_created(root, path, content, result.created) != 0) {
        result.kind = ResultKind::failure;
        result.code = Code::race_preserved;
        result.race = RaceOutcome::preserved;
        result.error = ESTALE;
        result.created = {};
    }
    return result;
}

} // namespace

BookmarkedParent bookmarked_parent(const Bookmark& bookmark, std::string_view relative_path)
{
    BookmarkedParent group;
    group.bookmark = bookmark.hex;
    group.device = bookmark.device;
    group.inode = bookmark.inode;
    group.uid = bookmark.uid;
    const std::size_t slash = relative_path.rfind('/');
    const bool in_root = slash == std::string_view::npos;
    group.directory = in_root ? std::string(1, '.') : std::string(relative_path.substr(0, slash));
    group.leaf = std::string(in_root ? relative_path : relative_path.substr(slash + 1));
    return group;
}

Result run(const Helper& helper, const RootAnchor& root, const BookmarkParent& request, const Limits& limits)
{
    argument_builder b("bookmark-parent", root);
    b.path("path", request.path).shape(SuccessShape::bookmark);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RecoverUnlink& request, const Limits& limits)
{
    argument_builder b("recover-unlink", root);
    b.parent(request.source).parent(request.staging).parent(request.quarantine).description(request.file);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RecoverRename& request, const Limits& limits)
{
    argument_builder b("recover-rename", root);
    b.parent(request.source).parent(request.destination).description(request.file);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RecoverSwap& request, const Limits& limits)
{
    argument_builder b("recover-swap", root);
    b.parent(request.a).parent(request.b).description(request.file1).description(request.file2);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RecoverLink& request, const Limits& limits)
{
    argument_builder b("recover-link", root);
    b.parent(request.source)
        .parent(request.destination)
        .parent(request.staging)
        .parent(request.quarantine)
        .description(request.file);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RenameExcl& request, const Limits& limits)
{
    argument_builder b("rename-excl", root);
    b.path("source", request.source).path("destination", request.destination).identity(request.file).whole_mode("file", request.file).races(RaceCodes::both);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const LinkExcl& request, const Limits& limits)
{
    argument_builder b("link-excl", root);
    b.path("source", request.source)
        .path("destination", request.destination)
        .path("staging", request.staging)
        .path("quarantine", request.quarantine)
        .description(request.file)
        .races(RaceCodes::both);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RenameSwap& request, const Limits& limits)
{
    argument_builder b("rename-swap", root);
    b.path("a", request.a).path("b", request.b).identity(request.file1).identity(request.file2).races(RaceCodes::both);
    b.whole_mode("file1", request.file1).whole_mode("file2", request.file2);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const UnlinkChecked& request, const Limits& limits)
{
    argument_builder b("unlink-checked", root);
    b.path("source", request.source)
        .path("staging", request.staging)
        .path("quarantine", request.quarantine)
        .description(request.file)
        .races(RaceCodes::both);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const QuarantinePrivateTree& request, const Limits& limits)
{
    argument_builder b("quarantine-private-tree", root);
    b.path("source", request.source).path("destination", request.destination);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const RemovePrivateTree& request, const Limits& limits)
{
    argument_builder b("remove-private-tree", root);
    b.path("path", request.path).number(request.budget).number(request.depth_limit);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const CreatePrivateFileStaged& request, const Limits& limits)
{
    argument_builder b("create-private-file-staged", root);
    b.path("final_path", request.final_path)
        .path("staging_path", request.staging_path)
        .number(request.content.size())
        .input(request.content)
        .races(RaceCodes::preserved_only);
    return describe_after(execute(helper, limits, b), root, request.final_path, request.content);
}

Result run(const Helper& helper, const RootAnchor& root, const RemovePrivateStagingFile& request, const Limits& limits)
{
    argument_builder b("remove-private-staging-file", root);
    b.path("path", request.path).number(request.size_bound);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const ReadPrivateFile& request, const Limits& limits)
{
    argument_builder b("read-private-file", root);
    b.path("path", request.path).number(request.size_bound).shape(SuccessShape::size).size_bound(request.size_bound);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const ReadExternalFile& request, const Limits& limits)
{
    argument_builder b("read-external-file", root);
    b.path("path", request.path)
        .number(request.size_bound)
        .number(request.parent_device)
        .number(request.parent_inode)
        .number(request.parent_uid)
        .shape(SuccessShape::size)
        .size_bound(request.size_bound);
    return execute(helper, limits, b);
}

RemovePrivateFile::RemovePrivateFile(std::string path_, std::uint64_t size_, std::string sha256_)
    : path(std::move(path_)), size(size_), sha256(std::move(sha256_))
{
}

RemovePrivateFile::RemovePrivateFile(std::string path_, const FileDescription& file)
    : RemovePrivateFile(std::move(path_), file.size, file.sha256)
{
}

Result run(const Helper& helper, const RootAnchor& root, const RemovePrivateFile& request, const Limits& limits)
{
    argument_builder b("remove-private-file", root);
    b.path("path", request.path).number(request.size).text(request.sha256);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const EnsureDir& request, const Limits& limits)
{
    argument_builder b("ensure-dir", root);
    b.path("path", request.path).shape(SuccessShape::directory).races(RaceCodes::preserved_only);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const EnsurePrivateDir& request, const Limits& limits)
{
    argument_builder b("ensure-private-dir", root);
    b.path("path", request.path).shape(SuccessShape::directory).races(RaceCodes::preserved_only);
    return execute(helper, limits, b);
}

Result run(const Helper& helper, const RootAnchor& root, const CreateFile& request, const Limits& limits)
{
    argument_builder b("create-file", root);
    b.path("path", request.path)
        .number(request.mode)
        .number(request.content.size())
        .input(request.content)
        .races(RaceCodes::both);
    if (request.mode > 0777)
        b.refuse("mode", "permission bits only, at most 0777 (no file-type bits)");
    return describe_after(execute(helper, limits, b), root, request.path, request.content);
}

Result run(const Helper& helper, const RootAnchor& root, const CreatePrivateFile& request, const Limits& limits)
{
    argument_builder b("create-private-file", root);
    b.path("path", request.path).number(request.content.size()).input(request.content).races(RaceCodes::both);
    return describe_after(execute(helper, limits, b), root, request.path, request.content);
}

} // namespace anchorfs::client
