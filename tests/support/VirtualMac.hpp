#pragma once
// A real PyrelleSimulator process on a private socket, for end-to-end tests: started with a
// profile, driven with control requests (selector 16) over the wire, stopped with SIGTERM.

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Subprocess.hpp"

extern char** environ;

namespace pyrelle::testing {

inline std::string binaryPath(const std::string& relative) {
    return std::string(PYRELLE_BINARY_DIR) + "/" + relative;
}

class VirtualMac {
public:
    explicit VirtualMac(const std::string& profile = "apple-m4-pro") {
        char pattern[] = "/tmp/pyrelle-vm-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory_ = pattern;
        socket_ = directory_ + "/smc.sock";
        profile_ = profile;
        start();
    }

    ~VirtualMac() { stop(); }

    VirtualMac(const VirtualMac&) = delete;
    VirtualMac& operator=(const VirtualMac&) = delete;

    // Stops the device (its socket goes with it), waits `away`, and starts it afresh on the
    // same socket: a device restart as its clients see it.
    void restart(std::chrono::milliseconds away) {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            reapOrKill(pid_, 10);
            pid_ = -1;
        }
        std::this_thread::sleep_for(away);
        start();
    }

private:
    void start() {
        const std::string& profile = profile_;
        const std::string program = binaryPath("Simulator/PyrelleSimulator");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        try {
            pid_ = spawnWatched({program, "--profile", profile, "--socket", socket_}, {}, &actions);
        } catch (...) {
            posix_spawn_file_actions_destroy(&actions);
            removeDirectory();
            throw;
        }
        posix_spawn_file_actions_destroy(&actions);
        // A loaded machine may take a while to start it; one that exits is not waited for.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!std::filesystem::exists(socket_) && std::chrono::steady_clock::now() < deadline) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid_) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!std::filesystem::exists(socket_)) {
            stop();
            throw std::runtime_error("simulator did not start");
        }
    }

public:
    const std::string& socket() const { return socket_; }

    // Lets processes of other users (the helper run as "nobody") reach the device.
    void shareWithAllUsers() const {
        std::filesystem::permissions(directory_, std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_exec);
        std::filesystem::permissions(socket_, std::filesystem::perms::all);
    }
    pid_t pid() const { return pid_; }

    // Sends one control request and returns the device's JSON reply.
    nlohmann::json control(const nlohmann::json& request) const {
        const std::string payload = request.dump();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{5, 0};  // a stuck device fails the test instead of hanging it
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            throw std::runtime_error("cannot connect to the simulator");
        }
        std::vector<uint8_t> frame(8 + payload.size());
        put32(frame.data(), 16);
        put32(frame.data() + 4, static_cast<uint32_t>(payload.size()));
        std::copy(payload.begin(), payload.end(), frame.begin() + 8);
        writeAll(fd, frame.data(), frame.size());
        uint8_t header[8];
        readAll(fd, header, 8);
        std::string reply(get32(header + 4), '\0');
        readAll(fd, reinterpret_cast<uint8_t*>(reply.data()), reply.size());
        close(fd);
        return nlohmann::json::parse(reply);
    }

    nlohmann::json state() const { return control({{"op", "state"}}); }

private:
    // SIGTERM, a bounded wait for the orderly exit, then SIGKILL to it and its group.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            reapOrKill(pid_, 10);
            pid_ = -1;
        }
        removeDirectory();
    }
    void removeDirectory() const {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    static void put32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    static uint32_t get32(const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    static void writeAll(int fd, const uint8_t* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) {
                ::close(fd);
                throw std::runtime_error("simulator write failed");
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
    }
    static void readAll(int fd, uint8_t* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::read(fd, data, size);
            if (n <= 0) {
                ::close(fd);
                throw std::runtime_error("simulator read failed");
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    std::string directory_;
    std::string socket_;
    std::string profile_;
    pid_t pid_ = -1;
};

}  // namespace pyrelle::testing
