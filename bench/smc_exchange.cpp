// Cost of one SMC user-client exchange through the shim. A pyr_smc_read is two exchanges
// (key info, then bytes); figures are reported per exchange ("per_exchange"), as the
// median of repeated runs, each beside the cost of the same work without the shim:
//   - in process: the shim over a trivial device, against calling that device directly;
//   - socket: the shim over a Unix socket to an in-bench server speaking the device wire
//     format, against a bare request/response round trip of the same bytes on a socket.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CSMC.h"
#include "CSMCDevice.hpp"

namespace {

constexpr size_t kBlock = pyrelle::csmc::kBlockSize;

// Turns a request block into a successful answer in place: key info says 2 bytes of
// "sp78", a bytes read returns 50.5 degrees.
void answer(uint8_t* block) {
    const uint32_t size = 2;
    const uint32_t type = PYR_TYPE_SP78;
    std::memcpy(block + 28, &size, 4);  // little-endian host, as the wire
    std::memcpy(block + 32, &type, 4);
    block[40] = 0;
    block[48] = 0x32;
    block[49] = 0x80;
}

class TrivialDevice : public pyrelle::csmc::Device {
public:
    int32_t exchange(uint32_t, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override {
        reply.assign(request.begin(), request.end());
        answer(reply.data());
        return 0;
    }
};

void perExchange(benchmark::State& state, double exchangesPerIteration) {
    // Seconds per exchange of wall time, shown with an SI prefix (e.g. "45n" = 45 ns).
    state.counters["per_exchange"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * exchangesPerIteration,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_InProcessRead(benchmark::State& state) {
    pyrelle::csmc::installDevice(std::make_shared<TrivialDevice>());
    const uint32_t connection = pyr_smc_open();
    pyrelle::csmc::installDevice(nullptr);
    PYRValue value{};
    for (auto _ : state) {
        if (pyr_smc_read(connection, "TC0P", &value) != 0) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(value);
    }
    pyr_smc_close(connection);
    perExchange(state, 2);
}

void BM_InProcessDeviceAlone(benchmark::State& state) {
    TrivialDevice device;
    std::vector<uint8_t> request(kBlock), reply;
    for (auto _ : state) {
        device.exchange(2, request, reply);
        device.exchange(2, request, reply);
        benchmark::DoNotOptimize(reply.data());
    }
    perExchange(state, 2);
}

bool readExactly(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got <= 0) return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Serves one connection in the device wire format until the client closes it.
void serveWire(int fd) {
    uint8_t message[8 + kBlock];
    while (readExactly(fd, message, 8)) {
        uint32_t length;
        std::memcpy(&length, message + 4, 4);
        if (length != kBlock || !readExactly(fd, message + 8, kBlock)) break;
        const int32_t status = 0;
        std::memcpy(message, &status, 4);
        answer(message + 8);
        if (!writeAll(fd, message, sizeof(message))) break;
    }
    ::close(fd);
}

// A listening socket that serves its first connection on a thread.
class WireServer {
public:
    WireServer() {
        char pattern[] = "/tmp/pyrelle-bench-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        path_ = directory_ + "/smc.sock";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 1);
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd >= 0) serveWire(fd);
        });
    }
    ~WireServer() {
        ::shutdown(listener_, SHUT_RDWR);  // wakes an accept that never got a client
        thread_.join();
        ::close(listener_);
        ::unlink(path_.c_str());
        ::rmdir(directory_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string directory_, path_;
    int listener_ = -1;
    std::thread thread_;
};

void BM_SocketRead(benchmark::State& state) {
    uint32_t connection = 0;
    {
        WireServer server;
        ::setenv("PYRELLE_SMC_SOCKET", server.path().c_str(), 1);
        connection = pyr_smc_open();
        ::unsetenv("PYRELLE_SMC_SOCKET");
        if (connection == 0) {
            state.SkipWithError("cannot connect");
            for (auto _ : state) {
            }
            return;
        }
        PYRValue value{};
        for (auto _ : state) {
            if (pyr_smc_read(connection, "TC0P", &value) != 0) state.SkipWithError("read failed");
            benchmark::DoNotOptimize(value);
        }
        pyr_smc_close(connection);  // ends the server's connection before it is joined
    }
    perExchange(state, 2);
}

void BM_SocketBareRoundTrip(benchmark::State& state) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    std::thread server(serveWire, fds[1]);
    uint8_t message[8 + kBlock] = {};
    const uint32_t selector = 2, length = kBlock;
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            std::memcpy(message, &selector, 4);
            std::memcpy(message + 4, &length, 4);
            writeAll(fds[0], message, sizeof(message));
            readExactly(fds[0], message, sizeof(message));
        }
        benchmark::DoNotOptimize(message);
    }
    ::close(fds[0]);
    server.join();
    perExchange(state, 2);
}

}  // namespace

BENCHMARK(BM_InProcessRead)->Repetitions(15)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_InProcessDeviceAlone)->Repetitions(15)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_SocketRead)->Repetitions(15)->ReportAggregatesOnly(true)->UseRealTime()->MinTime(0.05);
BENCHMARK(BM_SocketBareRoundTrip)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->MinTime(0.05);

BENCHMARK_MAIN();
