#include "SocketDevice.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CSMC.h"

namespace pyrelle::csmc {
namespace {

using Clock = SocketDevice::Clock;
using Io = SocketDevice::Io;

// Milliseconds left until `deadline`, rounded up so a wait never ends early; 0 when past.
int remainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

// Waits until `fd` is ready for `events`, at most until `deadline`.
Io waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int wait = remainingMs(deadline);
        if (wait == 0) return Io::timedOut;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0) {
            // Readiness includes POLLHUP/POLLERR; the following send/recv reports them.
            return Io::ok;
        }
        if (ready == 0) continue;  // re-check the deadline
        if (errno != EINTR) return Io::closed;
    }
}

Io sendAll(int fd, const uint8_t* data, size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Io waited = waitFor(fd, POLLOUT, deadline);
            if (waited != Io::ok) return waited;
            continue;
        }
        return Io::closed;  // EPIPE, ECONNRESET, ...
    }
    return Io::ok;
}

void putLE32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getLE32(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

bool hasPendingInput(int fd) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

int32_t statusFor(Io failure) {
    return failure == Io::timedOut ? PYR_KERN_TIMEOUT : PYR_KERN_NOT_RESPONDING;
}

}  // namespace

std::shared_ptr<SocketDevice> SocketDevice::connect(const std::string& path,
                                                    std::chrono::milliseconds timeout) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return nullptr;
    std::memcpy(address.sun_path, path.data(), path.size());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    const auto deadline = Clock::now() + timeout;
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        // The connection completes in the background; wait for it within the bound.
        if (waitFor(fd, POLLOUT, deadline) == Io::ok) {
            int error = 0;
            socklen_t length = sizeof(error);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) rc = 0;
        }
    }
    if (rc != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<SocketDevice>(new SocketDevice(fd));
}

SocketDevice::~SocketDevice() {
    ::close(fd_);
}

int32_t SocketDevice::exchange(uint32_t selector, std::span<const uint8_t> request,
                               std::vector<uint8_t>& reply) {
    reply.clear();
    if (request.size() > kMaxPayload) return PYR_KERN_MESSAGE_TOO_LARGE;
    std::lock_guard lock(mutex_);
    if (!readyForExchange()) return PYR_KERN_NOT_RESPONDING;
    std::vector<uint8_t> message(8 + request.size());
    putLE32(&message[0], selector);
    putLE32(&message[4], static_cast<uint32_t>(request.size()));
    if (!request.empty()) std::memcpy(&message[8], request.data(), request.size());
    const auto deadline = Clock::now() + exchangeTimeout();
    if (Io io = sendAll(fd_, message.data(), message.size(), deadline); io != Io::ok) {
        broken_ = true;
        return statusFor(io);
    }
    return receiveReply(reply, deadline);
}

void SocketDevice::exchangeAll(uint32_t selector,
                               std::span<const std::span<const uint8_t>> requests,
                               std::span<int32_t> statuses,
                               std::span<std::vector<uint8_t>> replies) {
    std::lock_guard lock(mutex_);
    const bool ready = readyForExchange();
    std::vector<uint8_t> frames;
    size_t next = 0;
    while (next < requests.size()) {
        replies[next].clear();
        if (!ready || broken_) {
            statuses[next++] = PYR_KERN_NOT_RESPONDING;
            continue;
        }
        if (requests[next].size() > kMaxPayload) {
            statuses[next++] = PYR_KERN_MESSAGE_TOO_LARGE;
            continue;
        }
        // One window: its requests leave in one send, then their replies are read in order.
        // For the 80-byte blocks that batches carry, a window's requests and its replies each
        // fit in a socket buffer, so neither side blocks while the other is still sending;
        // larger payloads are still bounded by the exchange timeout.
        frames.clear();
        size_t end = next;
        while (end < requests.size() && end - next < kWindow &&
               requests[end].size() <= kMaxPayload && frames.size() < kWindowBytes) {
            const auto& request = requests[end++];
            const size_t at = frames.size();
            frames.resize(at + 8 + request.size());
            putLE32(&frames[at], selector);
            putLE32(&frames[at + 4], static_cast<uint32_t>(request.size()));
            if (!request.empty()) std::memcpy(&frames[at + 8], request.data(), request.size());
        }
        if (Io io = sendAll(fd_, frames.data(), frames.size(), Clock::now() + exchangeTimeout());
            io != Io::ok) {
            broken_ = true;
            statuses[next++] = statusFor(io);
            continue;
        }
        for (; next < end && !broken_; ++next) {
            statuses[next] = receiveReply(replies[next], Clock::now() + exchangeTimeout());
        }
    }
}

bool SocketDevice::usable() {
    std::lock_guard lock(mutex_);
    return readyForExchange();
}

bool SocketDevice::readyForExchange() {
    // A stream that broke mid-exchange may still carry a late answer; it cannot be resynced.
    if (broken_) return false;
    // Between exchanges the device has nothing to say: readable data here is either the
    // peer's end of stream or bytes it was never asked for, and either way the stream can
    // no longer be trusted to stay in step.
    if (inboxBegin_ != inboxEnd_ || hasPendingInput(fd_)) broken_ = true;
    return !broken_;
}

int32_t SocketDevice::receiveReply(std::vector<uint8_t>& reply, Clock::time_point deadline) {
    reply.clear();
    uint8_t header[8];
    if (Io io = receive(header, sizeof(header), deadline); io != Io::ok) {
        broken_ = true;
        return statusFor(io);
    }
    const auto status = static_cast<int32_t>(getLE32(&header[0]));
    const uint32_t length = getLE32(&header[4]);
    if (length > kMaxPayload) {
        broken_ = true;
        return PYR_KERN_MESSAGE_TOO_LARGE;
    }
    reply.resize(length);
    if (Io io = receive(reply.data(), length, deadline); io != Io::ok) {
        broken_ = true;
        reply.clear();
        return statusFor(io);
    }
    return status;
}

// Replies are read through a small inbox so that a burst of replies costs one recv, not two
// per reply; a payload larger than the inbox goes straight into its destination.
SocketDevice::Io SocketDevice::receive(uint8_t* data, size_t size, Clock::time_point deadline) {
    while (size > 0) {
        if (inboxBegin_ != inboxEnd_) {
            const size_t take = std::min(size, inboxEnd_ - inboxBegin_);
            std::memcpy(data, &inbox_[inboxBegin_], take);
            inboxBegin_ += take;
            data += take;
            size -= take;
            continue;
        }
        inboxBegin_ = inboxEnd_ = 0;
        // The reply has usually not arrived yet when this is reached: wait first, then read.
        if (Io waited = waitFor(fd_, POLLIN, deadline); waited != Io::ok) return waited;
        const bool direct = size >= inbox_.size();
        uint8_t* target = direct ? data : inbox_.data();
        const ssize_t got = ::recv(fd_, target, direct ? size : inbox_.size(), MSG_DONTWAIT);
        if (got == 0) return Io::closed;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return Io::closed;
        }
        if (direct) {
            data += got;
            size -= static_cast<size_t>(got);
        } else {
            inboxEnd_ = static_cast<size_t>(got);
        }
    }
    return Io::ok;
}

}  // namespace pyrelle::csmc
