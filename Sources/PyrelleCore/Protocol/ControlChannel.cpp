#include "pyrelle/ControlChannel.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>

#include "pyrelle/ScopeError.hpp"

namespace pyrelle {

namespace {

constexpr const char* kTooLong = "控制消息过长";
constexpr const char* kTimedOut = "辅助进程响应超时";
constexpr const char* kBroken = "辅助进程通信中断或超时";
constexpr const char* kReadFailed = "辅助进程读取失败";
constexpr const char* kWriteFailed = "辅助进程写入失败";

double systemUptime() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int waitMilliseconds(double seconds) {
    return static_cast<int>(std::ceil(std::max(seconds, 0.0) * 1000));
}

// Writes to a pipe whose reader is gone without raising SIGPIPE: the caller hears EPIPE and
// reports a broken helper, whatever the process does with the signal. The signal is blocked for
// this thread only, and a SIGPIPE this write caused is consumed before the mask is restored; one
// that was already pending is left for its owner.
ssize_t writeQuietly(int fd, const char* data, size_t size) {
    sigset_t pipeOnly, previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    const ssize_t count = ::write(fd, data, size);
    const int error = errno;
    if (count < 0 && error == EPIPE && !alreadyPending) {
        const timespec none{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return count;
}

}  // namespace

ControlChannel::ControlChannel(int fd, double waitCap, std::function<double()> uptime)
    : fd_(fd), waitCap_(waitCap), uptime_(uptime ? std::move(uptime) : systemUptime) {}

std::optional<std::string> ControlChannel::takeLine() {
    const auto newline = pending_.find('\n');
    if (newline == std::string::npos) return std::nullopt;
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    return line;
}

std::optional<std::string> ControlChannel::readLine(double timeout) {
    const double deadline = uptime_() + timeout;
    if (auto line = takeLine()) return line;
    char buffer[kReadSize];
    while (true) {
        if (pending_.size() >= kLineLimit) throw ScopeError(kTooLong);
        const double remaining = deadline - uptime_();
        if (!(remaining > 0)) throw ScopeError(kTimedOut);

        pollfd descriptor{fd_, POLLIN, 0};
        const int ready = poll(&descriptor, 1, waitMilliseconds(std::min(remaining, waitCap_)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) throw ScopeError(kBroken);

        const ssize_t count = read(fd_, buffer, sizeof buffer);
        if (count == 0) return std::nullopt;
        if (count < 0) {
            if (errno == EINTR) continue;
            throw ScopeError(kReadFailed);
        }
        pending_.append(buffer, static_cast<size_t>(count));
        if (auto line = takeLine()) return line;
    }
}

void ControlChannel::send(const nlohmann::json& json) {
    // Invalid UTF-8 in a text is replaced rather than aborting the reply.
    std::string line = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');
    if (line.size() > kLineLimit) throw ScopeError(kTooLong);
    // A peer that stops reading must not hold the writer longer than a silent one holds the
    // reader: the whole line gets the same wait cap as one wait for input.
    const double deadline = uptime_() + waitCap_;
    size_t written = 0;
    while (written < line.size()) {
        const double remaining = deadline - uptime_();
        if (!(remaining > 0)) throw ScopeError(kBroken);
        pollfd descriptor{fd_, POLLOUT, 0};
        const int ready = poll(&descriptor, 1, waitMilliseconds(std::min(remaining, waitCap_)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw ScopeError(kWriteFailed);
        if (ready == 0) throw ScopeError(kBroken);
        // Once the descriptor polls writable, a pipe or socket takes this much without
        // blocking, even when the descriptor itself is blocking. A hung-up or failed peer shows
        // up as the write's error.
        const size_t chunk = std::min(line.size() - written, kWriteSize);
        const ssize_t count = writeQuietly(fd_, line.data() + written, chunk);
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (count <= 0) throw ScopeError(kWriteFailed);
        written += static_cast<size_t>(count);
    }
}

}  // namespace pyrelle
