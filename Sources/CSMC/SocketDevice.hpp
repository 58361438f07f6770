#pragma once
// The virtual SMC device reached over its Unix stream socket. One caller at a time per
// connection (a batch of exchanges overlaps its requests); every wait is bounded by the shim's
// exchange timeout, and once the stream has broken (peer closed, timeout, oversized reply)
// every later exchange fails at once.

#include <array>
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
    // Sends up to kWindow requests at a time before reading their replies.
    void exchangeAll(uint32_t selector, std::span<const std::span<const uint8_t>> requests,
                     std::span<int32_t> statuses, std::span<std::vector<uint8_t>> replies) override;

    // True unless the stream has broken or the peer has closed it or spoken out of turn.
    bool usable();

    static constexpr size_t kWindow = 128;
    static constexpr size_t kWindowBytes = 16 * 1024;

    using Clock = std::chrono::steady_clock;
    // How one transport step ended.
    enum class Io { ok, closed, timedOut };

private:
    explicit SocketDevice(int fd) : fd_(fd) {}

    // The steps below run with mutex_ held.
    bool readyForExchange();
    int32_t receiveReply(std::vector<uint8_t>& reply, Clock::time_point deadline);
    Io receive(uint8_t* data, size_t size, Clock::time_point deadline);

    std::mutex mutex_;
    int fd_;
    bool broken_ = false;  // guarded by mutex_, as is the inbox
    // Room for a whole window of batch replies, so a window is read in one recv once it is in.
    std::array<uint8_t, kWindowBytes> inbox_{};
    size_t inboxBegin_ = 0, inboxEnd_ = 0;
};

}  // namespace pyrelle::csmc
