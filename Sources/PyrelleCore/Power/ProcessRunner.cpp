#include "pyrelle/ProcessRunner.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pyrelle/ScopeError.hpp"

extern char** environ;

namespace pyrelle::ProcessRunner {

namespace {

const char* const outputFileFailed = "无法创建命令输出文件";
const char* const commandTimedOut = "命令超时。请刷新状态确认结果。";
const char* const launchFailed = "无法启动命令 ";
const char* const outputUnreadable = "无法读取命令输出";
const char* const statusUnreadable = "无法读取命令结束状态";

// Polling starts fine-grained so quick commands return promptly, then backs off.
constexpr double firstPollInterval = 0.001;
constexpr double longestPollInterval = 0.02;

// The output file's descriptor: closed when the run ends, whatever the path.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { ::close(fd_); }  // a close error changes nothing for the caller
    int get() const { return fd_; }

private:
    int fd_;
};

// The spawned command: signalled as a process group, and reaped before the run returns on
// every path (an unexpected exception kills it first), so no zombie is left behind.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!reaped_) {
            signal(SIGKILL);
            waitBlocking();
        }
    }

    // Whether the child has ended; its status is then in `status()`.
    bool poll() {
        while (!reaped_) {
            const pid_t result = ::waitpid(pid_, &status_, WNOHANG);
            if (result == pid_) {
                reaped_ = true;
            } else if (result == 0) {
                return false;
            } else if (errno != EINTR) {
                // Someone else reaped it (SIGCHLD ignored): it has ended, status unknown.
                reaped_ = true;
                statusKnown_ = false;
            }
        }
        return true;
    }

    void waitBlocking() {
        while (!reaped_) {
            const pid_t result = ::waitpid(pid_, &status_, 0);
            if (result == pid_) {
                reaped_ = true;
            } else if (result == -1 && errno != EINTR) {
                reaped_ = true;
                statusKnown_ = false;
            }
        }
    }

    // Signals the whole group, so helpers the command started go too; falls back to the
    // child alone if it left the group. Never called once the child is reaped, so its
    // pid cannot have been reused.
    void signal(int number) const {
        if (reaped_) return;
        if (::kill(-pid_, number) != 0) ::kill(pid_, number);
    }

    bool statusKnown() const { return statusKnown_; }
    int status() const { return status_; }

private:
    pid_t pid_;
    int status_ = 0;
    bool reaped_ = false;
    bool statusKnown_ = true;
};

struct Timing {
    std::function<double()> clock;
    std::function<void(double)> pause;
};

Timing timing(const Options& options) {
    Timing result{options.clock, options.pause};
    if (!result.clock) {
        result.clock = [] {
            return std::chrono::duration<double>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
    }
    if (!result.pause) {
        result.pause = [](double seconds) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        };
    }
    return result;
}

// Waits until the child ends or `seconds` pass; true when it ended.
bool waitFor(Child& child, double seconds, const Timing& timing) {
    // A limit that is not a number, or negative, allows no waiting at all.
    if (!(seconds > 0)) return child.poll();
    const double deadline = timing.clock() + seconds;
    double interval = firstPollInterval;
    while (!child.poll()) {
        const double remaining = deadline - timing.clock();
        if (!(remaining > 0)) return child.poll();
        timing.pause(std::min(interval, remaining));
        interval = std::min(interval * 2, longestPollInterval);
    }
    return true;
}

// The spawn settings: own process group, a clean signal mask, default dispositions for
// the signals a host commonly blocks or ignores.
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        sigset_t empty;
        sigemptyset(&empty);
        posix_spawnattr_setsigmask(&attributes_, &empty);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int number :
             {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
            sigaddset(&defaults, number);
        }
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setpgroup(&attributes_, 0);
        posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// Output and errors both to `fd`, input from the null device.
class SpawnActions {
public:
    explicit SpawnActions(int fd) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawn_file_actions_adddup2(&actions_, fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions_, fd, STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

pid_t launch(const std::string& executable, const std::vector<std::string>& arguments,
             int outputFd) {
    if (executable.empty() || executable.front() != '/' ||
        executable.find('\0') != std::string::npos) {
        throw ScopeError(launchFailed + executable + "：路径必须是绝对路径");
    }
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(executable);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const SpawnActions actions(outputFd);
    const SpawnAttributes attributes;
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(),
                                    argv.data(), environ);
    if (error != 0) throw ScopeError(launchFailed + executable + "：" + std::strerror(error));
    return pid;
}

std::string readOutput(int fd) {
    std::string bytes(outputLimit, '\0');
    size_t filled = 0;
    while (filled < outputLimit) {
        const ssize_t count =
            ::pread(fd, bytes.data() + filled, outputLimit - filled, static_cast<off_t>(filled));
        if (count < 0) {
            if (errno == EINTR) continue;
            throw ScopeError(outputUnreadable);
        }
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    bytes.resize(filled);
    return bytes;
}

}  // namespace

std::string temporaryDirectory() {
    const char* configured = std::getenv("TMPDIR");
    std::string directory = configured != nullptr && configured[0] == '/' ? configured : "/tmp/";
    if (directory.back() != '/') directory += '/';
    return directory;
}

CommandResult run(const std::string& executable, const std::vector<std::string>& arguments,
                  double timeout, const Options& options) {
    std::string path =
        options.temporaryDirectory.empty() ? temporaryDirectory() : options.temporaryDirectory;
    if (path.back() != '/') path += '/';
    path += "pyrelle-command-XXXXXX";
    // mkostemp: a new, unique file readable by its owner only, never inherited by other children.
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) throw ScopeError(outputFileFailed);
    const Descriptor output(fd);
    // Removed at once: the open descriptor keeps the data, and no path can outlive the run
    // even if the host dies mid-command.
    ::unlink(path.c_str());

    Child child(launch(executable, arguments, fd));
    const Timing clock = timing(options);
    if (!waitFor(child, timeout, clock)) {
        child.signal(SIGTERM);
        if (!waitFor(child, options.killGrace, clock)) {
            child.signal(SIGKILL);
            child.waitBlocking();
        }
        throw ScopeError(commandTimedOut);
    }
    if (!child.statusKnown()) throw ScopeError(statusUnreadable);

    CommandResult result;
    const std::string bytes = readOutput(fd);
    const int status = child.status();
    result.status = WIFEXITED(status)     ? WEXITSTATUS(status)
                    : WIFSIGNALED(status) ? WTERMSIG(status)
                                          : status;
    result.output = decodeUTF8(bytes);
    return result;
}

std::string decodeUTF8(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    size_t at = 0;
    while (at < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++at;
            continue;
        }
        // Continuation count and the allowed range of the first continuation byte, which
        // excludes overlong forms, surrogates and values above U+10FFFF.
        int needed = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            text += replacement;
            ++at;
            continue;
        }
        size_t next = at + 1;
        bool complete = true;
        for (int index = 0; index < needed; ++index, ++next) {
            if (next >= bytes.size()) {
                complete = false;
                break;
            }
            const auto byte = static_cast<unsigned char>(bytes[next]);
            if (byte < low || byte > high) {
                complete = false;
                break;
            }
            low = 0x80;
            high = 0xBF;
        }
        if (complete) {
            text.append(bytes.substr(at, next - at));
        } else {
            // The lead and the continuation bytes that fit form one maximal invalid subpart.
            text += replacement;
        }
        at = next;
    }
    return text;
}

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char character : text) {
        if (character == '\'') {
            quoted += "'\\''";
        } else {
            quoted.push_back(character);
        }
    }
    quoted += "'";
    return quoted;
}

std::string appleScriptString(std::string_view text) {
    std::string literal = "\"";
    for (char character : text) {
        switch (character) {
            case '\\': literal += "\\\\"; break;
            case '"': literal += "\\\""; break;
            case '\n': literal += "\\n"; break;
            default: literal.push_back(character);
        }
    }
    literal += "\"";
    return literal;
}

}  // namespace pyrelle::ProcessRunner
