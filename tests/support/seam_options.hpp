// Run options for the seam, built by name instead of by rule strings: pause
// after the n-th call of a function with an adversary's action, fail it with
// an error, or kill the run after it. Every builder turns the descriptor
// check on, since a run ended on a race or a fault must still close what it opened.
#pragma once

#include "support/harness.hpp"

#include <functional>
#include <string>
#include <string_view>

namespace anchorfs::test {

inline std::string pause_rule(std::string_view function, unsigned n)
{
    return "pause:" + std::string(function) + ":" + std::to_string(n);
}

inline std::string fail_rule(std::string_view function, unsigned n, std::string_view error)
{
    return "fail:" + std::string(function) + ":" + std::to_string(n) + ":" + std::string(error);
}

inline std::string kill_rule(std::string_view function, unsigned n)
{
    return "kill:" + std::string(function) + ":" + std::to_string(n);
}

// The adversary's action runs while the run waits after the n-th call; it is
// told the event ("renameat2 1").
inline run_options paused_at(std::string_view function, unsigned n,
                             std::function<void(const std::string& event)> action)
{
    run_options options;
    options.seam.rules = pause_rule(function, n);
    options.seam.on_pause = std::move(action);
    options.check_fds = true;
    return options;
}

// The n-th call fails with `error` (a symbolic name such as EIO) without being made.
inline run_options failing_at(std::string_view function, unsigned n, std::string_view error)
{
    run_options options;
    options.seam.rules = fail_rule(function, n, error);
    options.check_fds = true;
    return options;
}

} // namespace anchorfs::test
