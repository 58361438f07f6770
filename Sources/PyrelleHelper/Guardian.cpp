#include "Guardian.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

#include "HelperMessages.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::helper {

namespace {

constexpr const char* kCannotGuard = "无法启动风扇守护进程，已拒绝控制";

// Detaches the freshly forked child from everything of the helper's that it must not hold or
// share: its session and process group, its stop signals, its standard input and output, and
// every descriptor but the pipe and standard error.
void becomeGuardian(int pipe) {
    ::setsid();
    for (int number : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) ::signal(number, SIG_IGN);
    // Out of the way of the standard descriptors first (a helper started with a closed input
    // may have been given the pipe as descriptor 0).
    const int moved = ::fcntl(pipe, F_DUPFD_CLOEXEC, 10);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
    }
    // The pipe settles on descriptor 3 so that every descriptor above it can be closed at
    // once (the helper's device connection among them: when the helper goes, its connection
    // must look closed to the device).
    ::dup2(moved, 3);
    ::close_range(4, ~0U, 0);
}

}  // namespace

Guardian::Guardian(const HandBack& handBack) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw ScopeError(kCannotGuard);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        throw ScopeError(kCannotGuard);
    }
    if (pid == 0) {
        ::close(ends[1]);
        becomeGuardian(ends[0]);
        ::_exit(watch(3, handBack));
    }
    ::close(ends[0]);
    pipe_ = ends[1];
}

Guardian::~Guardian() {
    std::lock_guard lock(mutex_);
    if (pipe_ >= 0) ::close(pipe_);
    pipe_ = -1;
}

void Guardian::send(char byte) {
    if (pipe_ < 0) return;
    ssize_t written;
    do {
        written = ::write(pipe_, &byte, 1);
    } while (written < 0 && errno == EINTR);
}

void Guardian::arm() {
    std::lock_guard lock(mutex_);
    if (armed_) return;
    armed_ = true;
    send(kArm);
}

void Guardian::handedBack() {
    std::lock_guard lock(mutex_);
    if (!armed_) return;
    armed_ = false;
    send(kHandedBack);
}

int Guardian::watch(int pipe, const HandBack& handBack) {
    bool armed = false;
    char buffer[64];
    while (true) {
        const ssize_t got = ::read(pipe, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // the helper is gone (or its end closed)
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == kArm) armed = true;
            if (buffer[i] == kHandedBack) armed = false;
        }
    }
    if (!armed) return 0;
    try {
        handBack();
        return 0;
    } catch (...) {
        std::string message = describeFailure(std::current_exception());
        if (message.find(messages::kRestoreFailedMark) == std::string::npos)
            message = messages::kRestoreFailed + message;
        message += '\n';
        [[maybe_unused]] const ssize_t ignored = ::write(2, message.data(), message.size());
        return 1;
    }
}

}  // namespace pyrelle::helper
