#include "pyrelle/sim/SimulatorServer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "pyrelle/sim/WireFormat.hpp"

namespace pyrelle::sim {

namespace {

constexpr int kTickMs = 200;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Writes all of `data`, waiting at most the partial-request limit for the peer to drain it.
bool sendAll(int fd, const std::vector<uint8_t>& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n =
            ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, SimulatorServer::kPartialRequestTimeoutMs) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

SimulatorServer::SimulatorServer(std::shared_ptr<VirtualSMC> device, std::string socketPath,
                                 uid_t owner)
    : device_(std::move(device)), path_(std::move(socketPath)), policy_(owner) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw systemError("pipe");
}

SimulatorServer::~SimulatorServer() {
    stop();
    reapFinished(true);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        removeSocketFile();
    }
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void SimulatorServer::listen() {
    sockaddr_un address;
    if (!fillAddress(path_, address)) {
        throw std::runtime_error("socket path is empty or longer than " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes: " + path_);
    }
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            throw std::runtime_error(path_ + " exists and is not a socket");
        // A socket somebody still answers on belongs to a live device; a dead one is stale.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address),
                                                  sizeof address) == 0;
        if (probe >= 0) ::close(probe);
        if (live) throw std::runtime_error("another device already serves " + path_);
        ::unlink(path_.c_str());
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw systemError("socket");
    // Bind under a private name and rename once listening, so the path never names a socket
    // that refuses connections.
    const std::string staging = path_ + "." + std::to_string(::getpid()) + ".new";
    sockaddr_un stagingAddress;
    const bool staged = fillAddress(staging, stagingAddress);
    if (staged) ::unlink(staging.c_str());
    const auto& bindAddress = staged ? stagingAddress : address;
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress) !=
        0) {
        const auto error = systemError("cannot bind " + path_);
        ::close(listenFd_);
        listenFd_ = -1;
        throw error;
    }
    // Any local user may connect, as any user may open the real SMC user client: unprivileged
    // probes read the virtual Mac as well as the administrator's helper. What a connection may
    // do beyond reading is decided per request from the credentials the kernel attests for it
    // (PeerPolicy); a file mode could not say "reads for all, writes for root" on one socket.
    ::chmod(staged ? staging.c_str() : path_.c_str(), 0666);
    if (::listen(listenFd_, 16) != 0 || (staged && ::rename(staging.c_str(), path_.c_str()) != 0)) {
        const auto error = systemError("cannot listen on " + path_);
        if (staged) ::unlink(staging.c_str());
        ::close(listenFd_);
        listenFd_ = -1;
        throw error;
    }
    if (::lstat(path_.c_str(), &info) == 0) inode_ = info.st_ino;
}

void SimulatorServer::stop() noexcept {
    stopping_.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
}

void SimulatorServer::run() {
    if (listenFd_ < 0) throw std::runtime_error("run() before listen()");
    while (!stopping_.load()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, 1000);
        reapFinished(false);
        if (ready <= 0 || stopping_.load()) continue;
        if (!(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
            ::close(fd);  // a peer of unknown identity gets nothing
            continue;
        }
        std::lock_guard lock(clientsMutex_);
        const auto ofPeer = static_cast<size_t>(std::count_if(
            clients_.begin(), clients_.end(), [&](const Client& c) { return c.uid == peer.uid; }));
        if (!policy_.admits(peer.uid, clients_.size(), ofPeer)) {
            ::close(fd);
            continue;
        }
        auto& client = clients_.emplace_back();
        client.fd = fd;
        client.uid = peer.uid;
        client.thread = std::thread([this, &client] { serve(client); });
    }
    reapFinished(true);
    ::close(listenFd_);
    listenFd_ = -1;
    removeSocketFile();
}

void SimulatorServer::serve(Client& client) {
    const int fd = client.fd;
    std::vector<uint8_t> buffer;
    int waitedMs = 0;  // time a partial request has been waiting for its remaining bytes
    uint8_t chunk[65536];
    while (!stopping_.load()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kTickMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (!buffer.empty() && (waitedMs += kTickMs) >= kPartialRequestTimeoutMs) break;
            continue;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            break;
        }
        buffer.insert(buffer.end(), chunk, chunk + n);
        waitedMs = 0;
        // Every request that arrived together is answered in one send, in order: a client
        // that sends a batch gets its replies as a batch.
        std::vector<uint8_t> replies;
        bool open = true;
        size_t consumed = 0;
        while (open) {
            const auto parsed =
                WireFormat::parse(std::span<const uint8_t>(buffer).subspan(consumed));
            if (parsed.outcome == WireFormat::Parse::incomplete) break;
            if (parsed.outcome == WireFormat::Parse::tooLarge) {
                // The stream cannot be resynchronised; answer once and hang up.
                const auto refusal =
                    WireFormat::encode(static_cast<uint32_t>(status::kBadArgument), {});
                replies.insert(replies.end(), refusal.begin(), refusal.end());
                open = false;
                break;
            }
            consumed += parsed.consumed;
            auto refusal = policy_.refusal(client.uid, parsed.frame.word, parsed.frame.payload);
            if (!refusal && parsed.frame.word == csmc::kSelectorUserClient) device_->awaitStall();
            const auto response = refusal
                                      ? std::move(*refusal)
                                      : device_->handle(parsed.frame.word, parsed.frame.payload);
            if (response.dropConnection) {
                open = false;
                break;
            }
            const auto reply =
                WireFormat::encode(static_cast<uint32_t>(response.status), response.payload);
            replies.insert(replies.end(), reply.begin(), reply.end());
        }
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        if (!replies.empty() && !sendAll(fd, replies)) open = false;
        if (!open) break;
    }
    ::shutdown(fd, SHUT_RDWR);
    client.done.store(true);
}

void SimulatorServer::reapFinished(bool all) {
    std::list<Client> finished;
    {
        std::lock_guard lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || it->done.load()) {
                if (all) ::shutdown(it->fd, SHUT_RDWR);
                auto next = std::next(it);
                finished.splice(finished.end(), clients_, it);
                it = next;
            } else {
                ++it;
            }
        }
    }
    for (auto& client : finished) {
        if (client.thread.joinable()) client.thread.join();
        ::close(client.fd);
    }
}

void SimulatorServer::removeSocketFile() {
    struct stat info {};
    // Only our own socket: a later device may have taken the path over.
    if (::lstat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
        (inode_ == 0 || info.st_ino == inode_)) {
        ::unlink(path_.c_str());
    }
    inode_ = 0;
}

}  // namespace pyrelle::sim
