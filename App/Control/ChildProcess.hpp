#pragma once
// ChildProcess: one program started without a shell, its standard input and output as pipes
// (optional), its standard error captured through a pipe, and a bounded, always-reaping end.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kilnview {

class ChildProcess {
public:
    // Starts `argv` (argv[0] is the program, looked up in PATH). Throws std::runtime_error when
    // it cannot. With `pipes`, the child's standard input and output are pipes to this process.
    // With `rootAs`, the child takes back the saved user id 0 as its effective user id and runs
    // with real user id `rootAs` (how a helper is started for an owner of that uid); this
    // process must have saved user id 0.
    ChildProcess(const std::vector<std::string>& argv, bool pipes,
                 std::optional<uid_t> rootAs = std::nullopt);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps a child still running; ends the process it started on every path.
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    int input() const { return input_; }    // write end of its standard input, or -1
    int output() const { return output_; }  // read end of its standard output, or -1

    // Closes the child's standard input (its end of input).
    void closeInput();
    // The exit status once it ended (128 + signal when killed), without waiting.
    std::optional<int> poll();
    // Waits up to `seconds` (with `pause` between checks) for the end; then kills it.
    int finish(double seconds);
    // What the child wrote to standard error so far (at most 4 KiB), trailing newline trimmed.
    std::string errorText();

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::optional<int> status_;
    std::string errors_;
};

}  // namespace kilnview
