#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pyrelle/CommandResult.hpp"

namespace pyrelle {

// Runs an external command without a shell, bounded in time, and collects its combined
// output through a private temporary file. Stateless: concurrent runs are independent.
namespace ProcessRunner {

// Only this much of a command's output is kept.
inline constexpr std::size_t outputLimit = 131072;

// How a run waits and where it keeps the output; the defaults are the real ones, tests
// shorten them.
struct Options {
    std::string temporaryDirectory;     // ends with "/"; empty: the per-user temporary directory
    double killGrace = 2.0;             // seconds between terminate and kill after a time-out
    std::function<double()> clock;      // monotonic seconds; empty: the steady clock
    std::function<void(double)> pause;  // empty: sleeps the calling thread
};

// Runs `executable` (an absolute path) with `arguments`, standard input from the null
// device. Past `timeout` seconds the command's process group is asked to terminate, then
// killed once the grace has passed, and the run fails with "命令超时。请刷新状态确认结果。".
// The child is reaped and the output file closed and removed on every path.
CommandResult run(const std::string& executable, const std::vector<std::string>& arguments,
                  double timeout, const Options& options = {});

// The per-user temporary directory with a trailing slash: $TMPDIR when it is an absolute
// path, else "/tmp/".
std::string temporaryDirectory();

// Bytes as UTF-8 text: each maximal invalid subsequence becomes one U+FFFD.
std::string decodeUTF8(std::string_view bytes);

// `text` as one single-quoted word for a POSIX shell.
std::string shellQuote(std::string_view text);

// `text` as an AppleScript string literal (backslash, double quote and newline escaped).
std::string appleScriptString(std::string_view text);

}  // namespace ProcessRunner

}  // namespace pyrelle
