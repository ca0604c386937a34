// Inside the client: one run of the helper as argument vector, input and the
// success shape its command must answer with.
#pragma once

#include "anchorfs/client.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace anchorfs::client::detail {

enum class SuccessShape { plain, size, directory, bookmark };

// Which race codes the command can report at all; another one is not believed.
enum class RaceCodes { none, preserved_only, both };

struct Invocation {
    std::vector<std::string> args; // slot 1 (the command) and up, root slots included
    std::string refusal;           // an argument refused before any run: "path: absolute: ..."
    std::string_view input;
    SuccessShape shape = SuccessShape::plain;
    RaceCodes races = RaceCodes::none;
    std::uint64_t size_bound = 0; // size shape: the bound the request gave
};

// The longest result line: a bookmark line of 131072 hexadecimal digits and
// its other fields fit easily.
inline constexpr std::size_t max_line_length = 131072 + 256;

// How the helper ran and what it printed.
struct HelperOutput {
    HelperError error = HelperError::none; // spawn_failed or io_failed
    int system_error = 0;
    std::string out;     // standard output, at most the limit given plus one byte
    bool err_written = false;
    bool overflowed = false; // more than the limit came; the helper was stopped
    HelperError stopped = HelperError::none; // timed_out or cancelled: the run was stopped by its limits
    int exit_status = -1;
    int signal = 0;
};

// Starts the helper with argv (argv[0] is the helper's path), writes `input`
// to its standard input and closes it, collects standard output up to
// `output_limit` bytes (one more byte is kept to show that there was more, and
// the helper is then stopped), notes any byte on standard error, and waits
// for it. A run past its time limit, or whose cancel descriptor became ready,
// has its input closed and is killed if it has not ended within the grace
// period.
HelperOutput exchange(const Helper& helper, const Limits& limits, const std::vector<std::string>& argv,
                      std::string_view input, std::size_t output_limit);

// The path rule `text` breaks as a path relative to the root, or nullptr
// when the helper accepts its form.
const char* path_refusal(std::string_view text);

// The description of a file a create just made at `path` below `root`: its
// status taken now, reached one name at a time without following a symbolic
// link from the root proven to be the anchored one, and the size and SHA-256
// of `content`. 0, or the errno that kept it from being described (ESTALE:
// the name no longer shows a regular file of that size).
int describe_created(const RootAnchor& root, const std::string& path, std::string_view content,
                     FileDescription& description);

// Checks the output against the protocol and the invocation's shape.
Result interpret(const Invocation& invocation, HelperOutput output);

} // namespace anchorfs::client::detail
