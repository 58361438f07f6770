#include "Guardian.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>
#include <thread>

#include "CSMC.h"
#include "HelperMessages.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::helper {

namespace {

constexpr double kIdleWait = 3600;   // between lines while no lease runs (any bound will do)
constexpr size_t kLongestLine = 64;  // a longer unterminated line is noise and dropped
constexpr char kHeld = 'K';
constexpr char kBusy = 'B';
constexpr char kNoLock = 'E';

// ---- The guardian's side ----

struct State {
    bool leased = false;
    bool armed = false;
    double deadline = 0;
    std::optional<csmc::DeviceIdentity> device;
};

std::optional<double> parseSeconds(const std::string& text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < 0) {
        return std::nullopt;
    }
    return value;
}

char beginLease(const GuardianSystem& system, State& state, double seconds) {
    if (!state.leased) {
        state.device = system.identify();
        // No device at all: there is nothing to lock, and the lease will find no fan to write.
        LeaseLock::Outcome outcome = LeaseLock::Outcome::held;
        if (state.device) {
            const double start = system.now();
            outcome = system.lock(*state.device);
            while (outcome == LeaseLock::Outcome::busy &&
                   system.now() - start < Guardian::kLockWait) {
                system.pause(Guardian::kLockRetry);
                outcome = system.lock(*state.device);
            }
        }
        if (outcome == LeaseLock::Outcome::busy) return kBusy;
        if (outcome == LeaseLock::Outcome::unavailable) return kNoLock;
    }
    state.leased = true;
    state.deadline = system.now() + seconds;
    return kHeld;
}

void obey(const GuardianSystem& system, State& state, const std::string& line) {
    if (line.rfind("L ", 0) == 0) {
        const auto seconds = parseSeconds(line.substr(2));
        system.answer(seconds ? beginLease(system, state, *seconds) : kNoLock);
    } else if (line == "A") {
        state.armed = true;
        if (!state.device) state.device = system.identify();
    } else if (line == "R") {
        state.armed = false;
        state.leased = false;
        system.unlock();
    }
}

// Hands the fans back until they verifiably are, or the device recorded at the lease's start
// is gone. Keeps the lease lock to the end.
int handBackUntilAutomatic(const GuardianSystem& system, const State& state) {
    const double start = system.now();
    double pause = Guardian::kFirstPause;
    bool told = false;
    while (true) {
        const auto device = system.identify();
        if (!state.device || !device || *device != *state.device) {
            system.say(messages::kGuardianDeviceGone);
            system.unlock();
            return 1;
        }
        std::string failure;
        try {
            system.handBack();
            system.unlock();
            return 0;
        } catch (...) {
            failure = describeFailure(std::current_exception());
        }
        if (!told && system.now() - start >= Guardian::kPatience) {
            system.say(messages::kGuardianStillTrying + failure);
            told = true;
        }
        system.pause(told ? Guardian::kSlowPause : pause);
        pause = std::min(pause * 2, Guardian::kFastPause);
    }
}

// ---- The process ----

// The caller's file-system identity for the scope: the device is reached as the helper
// reaches it (as the user who started it), whatever ids the guardian runs with.
class CallerFiles {
public:
    CallerFiles(uid_t user, gid_t group) : active_(user != 0 || group != 0) {
        if (!active_) return;
        ::setfsgid(group);
        ::setfsuid(user);
    }
    ~CallerFiles() {
        if (!active_) return;
        ::setfsuid(0);
        ::setfsgid(0);
    }
    CallerFiles(const CallerFiles&) = delete;
    CallerFiles& operator=(const CallerFiles&) = delete;

private:
    bool active_;
};

// Detaches the freshly forked child from everything of the helper's that it must not hold or
// share (its session and process group, its stop signals, its standard input and output, and
// every descriptor but the channel and standard error), then makes every id root's.
void becomeGuardian(int channel) {
    ::setsid();
    for (int number : {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) {
        ::signal(number, SIG_IGN);
    }
    // Out of the way of the standard descriptors first (a helper started with a closed input
    // may have been given the channel as descriptor 0).
    const int moved = ::fcntl(channel, F_DUPFD_CLOEXEC, 10);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
    }
    // The channel settles on descriptor 3 so that every descriptor above it can be closed at
    // once (the helper's device connection among them: when the helper goes, its connection
    // must look closed to the device).
    ::dup2(moved, 3);
    ::close_range(4, ~0U, 0);
    // Real, effective and saved ids all root: a process of the user's account may no longer
    // signal it. A helper that is not root (never one that may write) keeps its ids.
    ::setgroups(0, nullptr);
    ::setresgid(0, 0, 0);
    ::setresuid(0, 0, 0);
}

[[noreturn]] void runGuardian(int channel, pid_t helper, const Guardian::HandBack& handBack) {
    const uid_t callerUser = ::getuid();
    const gid_t callerGroup = ::getgid();
    becomeGuardian(channel);
    const int helperFd = static_cast<int>(::syscall(SYS_pidfd_open, helper, 0));
    constexpr int kChannel = 3;
    LeaseLock lock;

    GuardianSystem system;
    system.now = [] { return pyr_continuous_seconds(); };
    system.pause = [](double seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    system.receive = [](std::string& into, double seconds) {
        pollfd ready{kChannel, POLLIN, 0};
        const double milliseconds = std::clamp(std::ceil(seconds * 1000), 0.0, 1e9);
        if (::poll(&ready, 1, static_cast<int>(milliseconds)) <= 0) return true;
        char buffer[256];
        const ssize_t got = ::recv(kChannel, buffer, sizeof buffer, 0);
        if (got < 0) return errno == EINTR || errno == EAGAIN;
        if (got == 0) return false;
        into.append(buffer, static_cast<size_t>(got));
        return true;
    };
    system.answer = [](char byte) {
        [[maybe_unused]] const ssize_t ignored = ::send(kChannel, &byte, 1, MSG_NOSIGNAL);
    };
    system.identify = [callerUser, callerGroup] {
        CallerFiles caller(callerUser, callerGroup);
        return csmc::chosenDeviceIdentity();
    };
    system.lock = [&lock](const csmc::DeviceIdentity& device) { return lock.acquire(device); };
    system.unlock = [&lock] { lock.release(); };
    system.endHelper = [helperFd, helper] {
        // Only called while the helper still holds its end of the channel, so `helper` is
        // not yet a reusable id even without a pidfd.
        if (helperFd < 0 || ::syscall(SYS_pidfd_send_signal, helperFd, SIGKILL, nullptr, 0) != 0) {
            ::kill(helper, SIGKILL);
        }
    };
    system.handBack = [&handBack, callerUser, callerGroup] {
        CallerFiles caller(callerUser, callerGroup);
        handBack();
    };
    system.say = [](const std::string& text) {
        const std::string line = text + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(2, line.data(), line.size());
    };
    ::_exit(Guardian::watch(system));
}

}  // namespace

int Guardian::watch(const GuardianSystem& system) {
    State state;
    std::string pending;
    bool overdue = false;
    while (true) {
        double wait = kIdleWait;
        if (state.leased) {
            wait = state.deadline + kGrace - system.now();
            if (wait <= 0) {
                overdue = true;
                break;
            }
        }
        if (!system.receive(pending, wait)) break;  // the helper is gone
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            obey(system, state, line);
        }
        if (pending.size() > kLongestLine) pending.clear();
    }
    if (overdue) {
        // Frozen (or stuck) past its bound: it must not write again once the fans are back.
        system.say(messages::kLeaseOverdue);
        system.endHelper();
    }
    if (!state.armed) {
        system.unlock();
        return 0;
    }
    return handBackUntilAutomatic(system, state);
}

// ---- The helper's side ----

Guardian::Guardian(const HandBack& handBack) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        throw ScopeError(messages::kCannotGuard);
    }
    const pid_t helper = ::getpid();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        throw ScopeError(messages::kCannotGuard);
    }
    if (pid == 0) {
        ::close(ends[0]);
        runGuardian(ends[1], helper, handBack);
    }
    ::close(ends[1]);
    channel_ = ends[0];
}

Guardian::~Guardian() {
    std::lock_guard lock(mutex_);
    if (channel_ >= 0) ::close(channel_);
    channel_ = -1;
}

// Never raises SIGPIPE: a guardian that has gone changes nothing in what the helper reports.
bool Guardian::send(const std::string& line) {
    if (channel_ < 0) return false;
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t sent = ::send(channel_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

void Guardian::begin(double seconds) {
    std::lock_guard lock(mutex_);
    if (channel_ < 0) throw ScopeError(messages::kCannotGuard);
    // A late answer to an earlier attempt that timed out is dropped.
    char stale[16];
    while (::recv(channel_, stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }
    char text[48] = "L ";
    const auto written = std::to_chars(text + 2, text + sizeof text - 1, seconds);
    *written.ptr = '\n';
    if (!send(std::string(text, written.ptr + 1))) throw ScopeError(messages::kCannotGuard);

    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(kAnswerWait));
    char answer = 0;
    while (answer == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd ready{channel_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t got = ::recv(channel_, &answer, 1, 0);
        if (got == 0) break;  // the guardian is gone
        if (got < 0) answer = 0;
    }
    if (answer == kHeld) {
        leased_ = true;
        return;
    }
    // Without an answer in time, a lock the guardian takes later is let go at once.
    if (answer == 0) send("R\n");
    if (answer == kBusy) throw ScopeError(messages::kLeaseBusy);
    if (answer == kNoLock) throw ScopeError(messages::kLeaseLockUnavailable);
    throw ScopeError(messages::kCannotGuard);
}

void Guardian::arm() {
    std::lock_guard lock(mutex_);
    if (armed_) return;
    armed_ = true;
    send("A\n");
}

void Guardian::handedBack() {
    std::lock_guard lock(mutex_);
    if (!leased_ && !armed_) return;
    leased_ = false;
    armed_ = false;
    send("R\n");
}

}  // namespace pyrelle::helper
