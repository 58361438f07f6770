#pragma once
// The virtual SMC device: a whole simulated Mac behind the shim's device seam. It answers
// SMC user-client blocks (selector 2) from its profile's key table and physics, applies the
// Apple Silicon fan hand-over rules, takes control requests (selector 16: load, ambient,
// faults, state dump) and reports the power manager's view of the machine (selector 17).
// Thread-safe: every exchange runs under one mutex.

#include <CSMCDevice.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "pyrelle/sim/FaultSet.hpp"
#include "pyrelle/sim/Profile.hpp"
#include "pyrelle/sim/SMCBlock.hpp"
#include "pyrelle/sim/ThermalModel.hpp"

namespace pyrelle::sim {

class VirtualSMC final : public csmc::Device {
public:
    using Clock = std::function<double()>;  // monotonic seconds

    // The real monotonic clock, the default.
    static double steadySeconds();

    // How long after "Ftst" becomes 1 the controller starts accepting manual mode writes.
    static constexpr double kDefaultUnlockDelay = 0.3;

    explicit VirtualSMC(Profile profile, Clock clock = steadySeconds);

    // One request as the daemon sees it; `dropConnection` asks the server to close the
    // client's socket without answering.
    struct Response {
        int32_t status = 0;
        std::vector<uint8_t> payload;
        bool dropConnection = false;
    };
    Response handle(uint32_t selector, std::span<const uint8_t> request);

    // The in-process form of `handle`: a dropped connection answers kNotResponding once.
    int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override;

    // Selector 16 and 17 bodies, for callers that hold JSON already.
    nlohmann::json control(const nlohmann::json& request);
    nlohmann::json powerState();

    // Blocks the calling thread (without holding the device's lock) until a "stall" fault has
    // passed: the device is silent to user-client calls until then, as a busy controller is.
    // Measured on the real monotonic clock, because a stall is felt by real transports.
    void awaitStall();

    const Profile& profile() const { return profile_; }

private:
    struct KeyState {
        uint64_t reads = 0;
        uint64_t writes = 0;
        uint64_t refused = 0;
        std::optional<double> pinned;             // a value forced by a control request
        std::optional<ValueCodec::Bytes> lagged;  // what reads show until `laggedUntil`
        double laggedUntil = 0;
    };
    struct WriteRecord {
        std::string key;
        std::optional<double> value;
        int result;
        double time;
    };
    // Power-manager fields a control request has fixed: a value, or null for "not supplied".
    using PowerPins = std::map<std::string, nlohmann::json>;

    double now() const;
    void catchUp();  // advances the physics to the current time

    std::vector<uint8_t> userClient(const SMCBlock& in);
    uint8_t readKey(const KeySpec& spec, uint32_t requestedSize, SMCBlock& out);
    uint8_t writeKey(const KeySpec& spec, const SMCBlock& in);
    uint8_t writeValue(const KeySpec& spec, double value);
    std::optional<double> liveValue(const KeySpec& spec) const;
    ValueCodec::Bytes currentBytes(const KeySpec& spec) const;
    bool fanManual(size_t n) const;
    uint8_t modeValue(size_t n) const;
    double forcedMask() const;
    void setUnlock(uint8_t value);
    void allFansAutomatic();
    void stealFan(size_t n);

    nlohmann::json controlLocked(const nlohmann::json& request);
    nlohmann::json faultLocked(const nlohmann::json& request);
    nlohmann::json powerLocked(const nlohmann::json& request);
    nlohmann::json stateLocked(const nlohmann::json& request);
    nlohmann::json powerStateLocked() const;

    mutable std::mutex mutex_;
    Profile profile_;
    Clock clock_;
    double stallUntil_ = 0;   // steadySeconds() until which user-client calls go unanswered
    double clockOffset_ = 0;  // time moved forward by "advance" requests
    double lastStep_ = 0;
    ThermalModel thermal_;
    std::unordered_map<uint32_t, size_t> byKey_;
    std::vector<size_t> listed_;  // key-at-index order: keys sorted by code
    std::vector<KeyState> keyStates_;
    std::vector<uint8_t> modes_;  // per fan: last mode value (0, 1 or 3)
    bool hasUnlock_ = false;
    uint8_t unlock_ = 0;
    uint8_t unlockBeforeHold_ = 0;
    double unlockedAt_ = 0;
    double unlockDelay_ = kDefaultUnlockDelay;
    FaultSet faults_;
    PowerPins powerPins_;
    std::vector<WriteRecord> log_;
};

}  // namespace pyrelle::sim
