#pragma once
// The open SMC connections: small non-zero handles, each owning the device it was opened
// with (an in-process device or a socket). Thread-safe; an exchange keeps its device alive
// even if another thread closes the handle meanwhile.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "CSMCDevice.hpp"

namespace pyrelle::csmc {

class ConnectionTable {
public:
    static ConnectionTable& shared();

    // Registers `device` and returns its handle; 0 when the table is full.
    uint32_t add(std::shared_ptr<Device> device);
    void remove(uint32_t handle);
    // The device of `handle`, or nullptr for an unknown or closed handle.
    std::shared_ptr<Device> find(uint32_t handle) const;

    // Enough for every honest caller; stops a leaking caller from exhausting descriptors.
    static constexpr size_t kMaxConnections = 1024;

private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<Device>> devices_;
    uint32_t next_ = 1;
};

// Performs one counted exchange with `device`, clearing `reply` first.
int32_t countedExchange(Device& device, uint32_t selector, std::span<const uint8_t> request,
                        std::vector<uint8_t>& reply);

// Performs the exchanges of `requests` with `device` (see Device::exchangeAll), counting each.
void countedExchangeAll(Device& device, uint32_t selector,
                        std::span<const std::span<const uint8_t>> requests,
                        std::span<int32_t> statuses, std::span<std::vector<uint8_t>> replies);

// The device a new connection talks to: the installed one, else the one the environment
// chooses (see DeviceChoice.hpp), else nullptr.
std::shared_ptr<Device> connectDevice();

}  // namespace pyrelle::csmc
