#pragma once
// Runs real programs for end-to-end tests: arguments without a shell, extra environment,
// optional standard input, captured output, and a hard time limit (the child is killed).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ChildWatch.hpp"

extern char** environ;

namespace pyrelle::testing {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal when killed by a signal
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::map<std::string, std::string> environment;  // added to (or replacing) the parent's
    std::vector<std::string> unset;                  // removed from the environment
    std::string input;                               // written to standard input, then closed
    double timeoutSeconds = 30;
};

inline std::vector<std::string> buildEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& name : options.unset) merged.erase(name);
    for (const auto& [name, value] : options.environment) merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

// Waits at most `seconds` for `pid` to end, killing it and its process group then (timedOut
// set); fills `status`.
inline void reapWithin(pid_t pid, double seconds, ProcessResult& result) {
    const int status = reapOrKill(pid, seconds, &result.timedOut);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts `argv` (argv[0] is the executable path) with `actions` as the leader of a new process
// group, watched so that it cannot outlive the test process. The child starts with the default
// SIGPIPE action and an empty signal mask, whatever the test process uses.
inline pid_t spawnWatched(const std::vector<std::string>& argv, const ProcessOptions& options,
                          const posix_spawn_file_actions_t* actions) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto envText = buildEnvironment(options);
    std::vector<char*> env;
    for (const auto& e : envText) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], actions, &attributes, args.data(), env.data());
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    ChildWatch::adopt(pid);
    return pid;
}

// Writes as much of `data` as the pipe takes now; a reader that has gone yields -1 with EPIPE
// instead of a SIGPIPE that would kill the test. The signal is blocked for the write and a
// resulting one consumed, so the process's signal dispositions stay untouched.
inline ssize_t writeSurvivingReaderExit(int fd, const char* data, size_t size) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (n < 0 && error == EPIPE && !sigismember(&previous, SIGPIPE)) {
        const timespec now{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return n;
}

// Starts `argv` (argv[0] is the executable path) and waits for it, at most the time limit.
inline ProcessResult runProcess(const std::vector<std::string>& argv,
                                const ProcessOptions& options = {}) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
        pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

    pid_t pid = -1;
    try {
        pid = spawnWatched(argv, options, &actions);
    } catch (...) {
        posix_spawn_file_actions_destroy(&actions);
        for (const int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        throw;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    ProcessResult result;
    size_t written = 0;
    int inFd = inPipe[1];
    if (options.input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
    // Something the program started may keep its output open after it has ended; its output
    // is then collected for a short grace only.
    std::optional<Clock::time_point> endedAt;
    constexpr auto kGrace = std::chrono::seconds(2);
    int outFd = outPipe[0], errFd = errPipe[0];
    while (outFd >= 0 || errFd >= 0) {
        const auto now = Clock::now();
        if (now >= deadline) {
            result.timedOut = true;
            killGroup(pid);
            break;
        }
        if (!endedAt) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid) {
                endedAt = now;
            }
        } else if (now - *endedAt >= kGrace) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (poll(fds, n, static_cast<int>(std::min<long long>(left.count() + 1, 50))) < 0) continue;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = writeSurvivingReaderExit(inFd, options.input.data() + written,
                                                           options.input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if ((w < 0 && errno != EAGAIN) || written == options.input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[65536];
            const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = fds[i].fd == outFd ? result.out : result.err;
            if (r > 0) {
                sink.append(buffer, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            }
        }
    }
    if (inFd >= 0) close(inFd);
    if (outFd >= 0) close(outFd);
    if (errFd >= 0) close(errFd);
    // Output ends before the program does; it gets the rest of its time to exit.
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    bool late = false;
    const int status = reapOrKill(pid, std::max(left, 0.0), &late);
    result.timedOut = result.timedOut || late;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace pyrelle::testing

namespace pyrelle::testing {

// A program left running while the test acts on it (signals, stop files, device faults);
// its output goes to temporary files and is collected by wait(). Killed if never waited for.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {}) {
        char outPattern[] = "/tmp/pyrelle-out-XXXXXX";
        char errPattern[] = "/tmp/pyrelle-err-XXXXXX";
        outFd_ = mkstemp(outPattern);
        errFd_ = mkstemp(errPattern);
        unlink(outPattern);
        unlink(errPattern);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outFd_, 1);
        posix_spawn_file_actions_adddup2(&actions, errFd_, 2);
        try {
            pid_ = spawnWatched(argv, options, &actions);
        } catch (...) {
            posix_spawn_file_actions_destroy(&actions);
            close(outFd_);
            close(errFd_);
            throw;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    // A program still running (never waited for: the test failed or threw) dies with
    // everything it started.
    ~BackgroundProcess() {
        if (pid_ > 0) reapOrKill(pid_, 0);
        close(outFd_);
        close(errFd_);
    }

    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `number` to the program; nothing once it has been waited for.
    void signal(int number) const {
        if (pid_ > 0) kill(pid_, number);
    }

    // True until the program has ended; it is left for wait() to collect.
    bool running() const {
        if (pid_ <= 0) return false;
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    // Waits at most `seconds`; a process still running then is killed (timedOut set).
    ProcessResult wait(double seconds) {
        ProcessResult result;
        reapWithin(pid_, seconds, result);
        pid_ = -1;
        result.out = slurp(outFd_);
        result.err = slurp(errFd_);
        return result;
    }

private:
    static std::string slurp(int fd) {
        std::string text;
        char buffer[65536];
        lseek(fd, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
};

}  // namespace pyrelle::testing

namespace pyrelle::testing {

// A program the test converses with line by line over pipes (standard input and output),
// as the desktop application converses with `serve`; standard error goes to a temporary
// file collected by wait(). Killed if never waited for.
class InteractiveProcess {
public:
    InteractiveProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {}) {
        int inPipe[2], outPipe[2];
        if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        char errPattern[] = "/tmp/pyrelle-err-XXXXXX";
        errFd_ = mkstemp(errPattern);
        unlink(errPattern);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errFd_, 2);
        int rc = 0;
        try {
            pid_ = spawnWatched(argv, options, &actions);
        } catch (...) {
            rc = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(inPipe[0]);
        close(outPipe[1]);
        inFd_ = inPipe[1];
        outFd_ = outPipe[0];
        if (rc != 0) {
            pid_ = -1;
            close(inFd_);
            close(outFd_);
            close(errFd_);
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }

    // A program still running (never waited for: the test failed or threw) dies with
    // everything it started.
    ~InteractiveProcess() {
        if (pid_ > 0) reapOrKill(pid_, 0);
        closeInput();
        if (outFd_ >= 0) close(outFd_);
        close(errFd_);
    }

    InteractiveProcess(const InteractiveProcess&) = delete;
    InteractiveProcess& operator=(const InteractiveProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `number` to the program; nothing once it has been waited for.
    void signal(int number) const {
        if (pid_ > 0) kill(pid_, number);
    }

    // Writes all of `bytes` to the program's standard input; false once the program has
    // closed it. SIGPIPE is blocked for the write and a resulting one consumed, so a closed
    // pipe never kills the test and the process's signal dispositions stay untouched.
    bool write(const std::string& bytes) {
        size_t done = 0;
        while (inFd_ >= 0 && done < bytes.size()) {
            const ssize_t n =
                writeSurvivingReaderExit(inFd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return inFd_ >= 0 && done == bytes.size();
    }
    bool sendLine(const std::string& line) { return write(line + "\n"); }

    void closeInput() {
        if (inFd_ >= 0) close(inFd_);
        inFd_ = -1;
    }

    // The next line of standard output without its newline; absent at end of output or
    // when none arrives within `seconds`.
    std::optional<std::string> readLine(double seconds) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (true) {
            const auto newline = pending_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            if (outFd_ < 0) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd fd{outFd_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[65536];
            const ssize_t r = read(outFd_, buffer, sizeof buffer);
            if (r > 0) {
                pending_.append(buffer, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                close(outFd_);
                outFd_ = -1;
            }
        }
    }

    // Waits at most `seconds` for the program to end (then kills it, timedOut set); `out`
    // holds the unread rest of standard output, `err` all of standard error.
    ProcessResult wait(double seconds) {
        ProcessResult result;
        reapWithin(pid_, seconds, result);
        pid_ = -1;
        // The rest of standard output: whatever was written before the end.
        while (outFd_ >= 0) {
            pollfd fd{outFd_, POLLIN, 0};
            if (poll(&fd, 1, 500) <= 0) break;
            char buffer[65536];
            const ssize_t r = read(outFd_, buffer, sizeof buffer);
            if (r <= 0) break;
            pending_.append(buffer, static_cast<size_t>(r));
        }
        result.out = pending_;
        pending_.clear();
        std::string text;
        char buffer[65536];
        lseek(errFd_, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(errFd_, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        result.err = text;
        return result;
    }

private:
    pid_t pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string pending_;
};

}  // namespace pyrelle::testing
