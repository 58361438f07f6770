#pragma once
// Loopback HTTP peers of a chosen user, for tests of a server that admits peers by the owner
// of their socket. The kernel makes a socket's owner the file-system uid of the thread that
// creates it; that uid is per thread, so a test running as root creates a socket "as" another
// user by switching its own thread's file-system uid around socket() (or around an HTTP
// client call that creates its socket in the calling thread).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace pyrelle::testing {

// Sockets created by this thread while it lives belong to `uid`.
class AsUser {
public:
    explicit AsUser(uid_t uid) : previous_(static_cast<uid_t>(::setfsuid(uid))) {}
    ~AsUser() { ::setfsuid(previous_); }
    AsUser(const AsUser&) = delete;
    AsUser& operator=(const AsUser&) = delete;

private:
    uid_t previous_;
};

// A connected socket to 127.0.0.1:`port` owned by `uid`; -1 when the connection failed.
inline int connectAs(uid_t uid, int port) {
    int fd;
    {
        AsUser as(uid);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends all of `data` (false when the peer closed or failed first).
inline bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything the server sends until it closes the connection or `seconds` pass.
inline std::string receiveAll(int fd, double seconds) {
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    return reply;
}

// The status code of a raw HTTP reply; 0 when there is none (the connection was closed).
inline int statusOf(const std::string& reply) {
    if (reply.rfind("HTTP/1.", 0) != 0 || reply.size() < 12) return 0;
    return std::stoi(reply.substr(9, 3));
}

// One request as `uid` on a fresh connection (closed by the server after the reply).
inline std::string requestAs(uid_t uid, int port, const std::string& method,
                             const std::string& path, const std::string& headers = "",
                             const std::string& body = "", double seconds = 10) {
    const int fd = connectAs(uid, port);
    if (fd < 0) return {};
    std::string request = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n" + headers;
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    std::string reply;
    if (sendAll(fd, request)) reply = receiveAll(fd, seconds);
    ::close(fd);
    return reply;
}

}  // namespace pyrelle::testing
