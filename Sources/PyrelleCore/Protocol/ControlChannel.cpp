#include "pyrelle/ControlChannel.hpp"

#include <poll.h>
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

        const double capped = std::min(remaining, waitCap_) * 1000;
        const int milliseconds = static_cast<int>(std::ceil(std::max(capped, 0.0)));
        pollfd descriptor{fd_, POLLIN, 0};
        const int ready = poll(&descriptor, 1, milliseconds);
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
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t count = write(fd_, line.data() + written, line.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking descriptor: wait (bounded) until the peer drains it.
            pollfd descriptor{fd_, POLLOUT, 0};
            const int ready = poll(&descriptor, 1, static_cast<int>(waitCap_ * 1000));
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            throw ScopeError(kWriteFailed);
        }
        if (count <= 0) throw ScopeError(kWriteFailed);
        written += static_cast<size_t>(count);
    }
}

}  // namespace pyrelle
