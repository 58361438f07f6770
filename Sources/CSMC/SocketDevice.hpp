#pragma once
// The virtual SMC device reached over its Unix stream socket. One exchange at a time per
// connection; every wait is bounded by the shim's exchange timeout, and once the stream has
// broken (peer closed, timeout, oversized reply) every later exchange fails at once.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "CSMCDevice.hpp"

namespace pyrelle::csmc {

class SocketDevice final : public Device {
public:
    // Connects to the socket at `path` within `timeout`; nullptr when that fails.
    static std::shared_ptr<SocketDevice> connect(const std::string& path,
                                                 std::chrono::milliseconds timeout);
    ~SocketDevice() override;
    SocketDevice(const SocketDevice&) = delete;
    SocketDevice& operator=(const SocketDevice&) = delete;

    // Wire format: request u32 selector, u32 length, payload; response i32 status, u32
    // length, payload (little-endian). Transport failures give PYR_KERN_* statuses.
    int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override;

private:
    explicit SocketDevice(int fd) : fd_(fd) {}

    std::mutex mutex_;
    int fd_;
    bool broken_ = false;  // guarded by mutex_
};

}  // namespace pyrelle::csmc
