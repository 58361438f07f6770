#include "ConnectionTable.hpp"

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

#include "CSMC.h"
#include "DeviceChoice.hpp"
#include "SocketDevice.hpp"

namespace pyrelle::csmc {
namespace {

struct Seam {
    std::mutex mutex;
    std::shared_ptr<Device> installed;  // guarded by mutex
    // The connection deviceExchange() keeps, and the socket path it was made to.
    std::shared_ptr<SocketDevice> kept;  // guarded by mutex
    std::string keptPath;                // guarded by mutex
    // A socket path that just timed out, and until when it is left alone.
    std::string silentPath;                             // guarded by mutex
    std::chrono::steady_clock::time_point silentUntil;  // guarded by mutex
    std::atomic<ProbeClock> clock{&std::chrono::steady_clock::now};
    std::atomic<uint64_t> exchanges{0};
    std::atomic<int64_t> timeoutMs{kDefaultExchangeTimeout.count()};
};

Seam& seam() {
    static Seam instance;
    return instance;
}

std::shared_ptr<Device> installedDevice() {
    std::lock_guard lock(seam().mutex);
    return seam().installed;
}

// The virtual Mac's socket chosen by the environment (PYRELLE_SMC_DEVICE=socket:PATH, else
// PYRELLE_SMC_SOCKET), or nothing when the choice is no socket.
std::optional<std::string> socketPath() {
    DeviceChoice choice = environmentChoice();
    if (choice.kind != DeviceChoice::Kind::socket) return std::nullopt;
    return std::move(choice.path);
}

}  // namespace

void Device::exchangeAll(uint32_t selector, std::span<const std::span<const uint8_t>> requests,
                         std::span<int32_t> statuses, std::span<std::vector<uint8_t>> replies) {
    for (size_t i = 0; i < requests.size(); ++i) {
        replies[i].clear();
        statuses[i] = exchange(selector, requests[i], replies[i]);
    }
}

ConnectionTable& ConnectionTable::shared() {
    static ConnectionTable table;
    return table;
}

uint32_t ConnectionTable::add(std::shared_ptr<Device> device) {
    if (!device) return 0;
    std::lock_guard lock(mutex_);
    if (devices_.size() >= kMaxConnections) return 0;
    // Handles count up so a stale handle does not silently reach a newer connection; they
    // wrap (skipping 0 and handles still open) only after four billion opens.
    while (next_ == 0 || devices_.count(next_) != 0) ++next_;
    const uint32_t handle = next_++;
    devices_.emplace(handle, std::move(device));
    return handle;
}

void ConnectionTable::remove(uint32_t handle) {
    std::shared_ptr<Device> released;
    {
        std::lock_guard lock(mutex_);
        auto found = devices_.find(handle);
        if (found == devices_.end()) return;
        released = std::move(found->second);
        devices_.erase(found);
    }
    // `released` goes out of scope here, outside the lock: closing a socket never blocks
    // other callers.
}

std::shared_ptr<Device> ConnectionTable::find(uint32_t handle) const {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(handle);
    return found == devices_.end() ? nullptr : found->second;
}

int32_t countedExchange(Device& device, uint32_t selector, std::span<const uint8_t> request,
                        std::vector<uint8_t>& reply) {
    reply.clear();
    seam().exchanges.fetch_add(1, std::memory_order_relaxed);
    return device.exchange(selector, request, reply);
}

void countedExchangeAll(Device& device, uint32_t selector,
                        std::span<const std::span<const uint8_t>> requests,
                        std::span<int32_t> statuses, std::span<std::vector<uint8_t>> replies) {
    seam().exchanges.fetch_add(requests.size(), std::memory_order_relaxed);
    device.exchangeAll(selector, requests, statuses, replies);
}

std::shared_ptr<Device> connectDevice() {
    if (auto device = installedDevice()) return device;
    DeviceChoice choice = environmentChoice();
    if (!choice.explicitChoice) choice = probeStandardTrees("/sys");
    return openChosenDevice(choice, exchangeTimeout(), secureExecution());
}

void installDevice(std::shared_ptr<Device> device) {
    std::lock_guard lock(seam().mutex);
    seam().installed = std::move(device);
}

uint64_t exchangeCount() {
    return seam().exchanges.load(std::memory_order_relaxed);
}

void resetExchangeCount() {
    seam().exchanges.store(0, std::memory_order_relaxed);
}

int32_t deviceExchange(uint32_t selector, std::span<const uint8_t> request,
                       std::vector<uint8_t>& reply) {
    reply.clear();
    if (auto device = installedDevice()) return countedExchange(*device, selector, request, reply);
    const auto path = socketPath();
    if (!path) return PYR_KERN_NO_DEVICE;
    // The probes ask the virtual Mac several times per sample; one kept connection spares
    // each question a connect and the device a new client. A connection that has broken (or
    // whose device went away) is replaced before use, never retried after a failure, so a
    // slow device still costs at most one timeout.
    const ProbeClock clock = seam().clock.load();
    std::shared_ptr<SocketDevice> device;
    {
        std::lock_guard lock(seam().mutex);
        if (seam().silentPath == *path && clock() < seam().silentUntil)
            return PYR_KERN_NOT_RESPONDING;
        if (seam().keptPath == *path) device = seam().kept;
    }
    const auto holdOff = [&] {
        std::lock_guard lock(seam().mutex);
        seam().silentPath = *path;
        seam().silentUntil = clock() + exchangeTimeout();
    };
    if (device && !device->usable()) device.reset();
    if (!device) {
        device = connectSocket(*path, exchangeTimeout(), secureExecution());
        if (!device) {
            holdOff();
            return PYR_KERN_NOT_RESPONDING;
        }
        std::lock_guard lock(seam().mutex);
        seam().kept = device;
        seam().keptPath = *path;
    }
    const int32_t status = countedExchange(*device, selector, request, reply);
    if (status == PYR_KERN_TIMEOUT) holdOff();
    return status;
}

void setProbeClock(ProbeClock clock) {
    seam().clock.store(clock != nullptr ? clock : &std::chrono::steady_clock::now);
}

bool deviceConfigured() {
    return installedDevice() != nullptr || socketPath().has_value();
}

void setExchangeTimeout(std::chrono::milliseconds timeout) {
    seam().timeoutMs.store(timeout.count() > 0 ? timeout.count() : 1, std::memory_order_relaxed);
}

std::chrono::milliseconds exchangeTimeout() {
    return std::chrono::milliseconds(seam().timeoutMs.load(std::memory_order_relaxed));
}

}  // namespace pyrelle::csmc
