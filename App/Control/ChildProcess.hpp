#pragma once
// ChildProcess: one program started without a shell, its standard input and output as pipes
// (optional), its standard error captured through a pipe and read until its end, and a
// bounded, always-reaping end. A child is either this process's own (forked here) or one the
// privileged part started on this process's behalf (adopted: its pidfd, its pipes and a pipe
// on which the privileged part writes its exit status once it has reaped it).

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kilnview {

// What the privileged part hands over for a child it started.
struct AdoptedChild {
    pid_t pid = -1;
    int pidfd = -1;   // signals go through it, so a reused pid is never signalled
    int input = -1;   // write end of its standard input, or -1
    int output = -1;  // read end of its standard output, or -1
    int error = -1;   // read end of its standard error
    int status = -1;  // read end of the exit-status pipe (one int, then end of file)
};

class ChildProcess {
public:
    // Starts `argv` (argv[0] is the program, looked up in PATH) as a child of this process.
    // Throws std::runtime_error when it cannot. With `pipes`, the child's standard input and
    // output are pipes to this process.
    ChildProcess(const std::vector<std::string>& argv, bool pipes);
    // Takes over a child started elsewhere; owns every descriptor of `child`.
    explicit ChildProcess(AdoptedChild child);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps a child still running; ends the process it started on every path.
    ~ChildProcess();

    // The exit status of a waitpid() status word: the code, or 128 + the signal.
    static int exitStatus(int waitStatus);

    pid_t pid() const { return pid_; }
    int input() const { return input_; }    // write end of its standard input, or -1
    int output() const { return output_; }  // read end of its standard output, or -1

    // Closes the child's standard input (its end of input).
    void closeInput();
    // The exit status once it ended (128 + signal when killed; -1 when it cannot be known),
    // without waiting.
    std::optional<int> poll();
    // Waits up to `seconds` for the end; then kills it. Returns the exit status.
    int finish(double seconds);
    // Ends it the way that lets it hand the fans back: SIGCONT (a stopped child runs again)
    // and SIGTERM (its stop signal), up to `seconds` for the end, then SIGKILL.
    int terminate(double seconds);
    // Sends `number` to a child still running.
    void signal(int number);
    // What the child (and anything that inherited its standard error) wrote there so far: the
    // last 4 KiB, trailing newlines trimmed. Reading goes on after the child ended.
    std::string errorText();
    // True once its standard error reached end of file (every writer is gone).
    bool errorsClosed();

private:
    void drainErrors();
    // SIGKILL, then the status (reaped here, or as the privileged part reports it).
    void kill();
    void awaitAdoptedStatus(int milliseconds);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    int statusPipe_ = -1;
    bool adopted_ = false;
    std::optional<int> status_;
    std::string errors_;
};

}  // namespace kilnview
