#pragma once
// Serves one VirtualSMC on a Unix stream socket: one thread per client, every request bounded
// in size and in the time its bytes may take to arrive, and a clean stop that closes every
// client and removes the socket file it created. Each connection's kernel-attested user
// decides what it may do and whether it gets a slot at all (PeerPolicy).

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>
#include <unistd.h>

#include "pyrelle/sim/PeerPolicy.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"

namespace pyrelle::sim {

class SimulatorServer {
public:
    static constexpr size_t kMaxClients = PeerPolicy::kMaxClients;
    static constexpr int kPartialRequestTimeoutMs = 5000;

    // `owner`: the user allowed control requests besides root; by default whoever started
    // this process (its real uid).
    SimulatorServer(std::shared_ptr<VirtualSMC> device, std::string socketPath,
                    uid_t owner = ::getuid());
    ~SimulatorServer();
    SimulatorServer(const SimulatorServer&) = delete;
    SimulatorServer& operator=(const SimulatorServer&) = delete;

    // Creates the socket and starts listening; throws std::runtime_error with the reason (path
    // too long, already served by a live device, not a socket, bind failure).
    void listen();
    // Accepts and serves clients until stop(); then closes every client, joins their threads
    // and removes the socket file.
    void run();
    // Asks run() to return. Async-signal-safe, callable from any thread.
    void stop() noexcept;

private:
    struct Client {
        int fd = -1;
        uid_t uid = 0;  // the peer's effective uid when it connected
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void serve(Client& client);
    void reapFinished(bool all);
    void removeSocketFile();

    std::shared_ptr<VirtualSMC> device_;
    std::string path_;
    PeerPolicy policy_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    ino_t inode_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex clientsMutex_;
    std::list<Client> clients_;
};

}  // namespace pyrelle::sim
