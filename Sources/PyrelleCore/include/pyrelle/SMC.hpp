#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "CSMC.h"
#include "pyrelle/AppleSiliconFanControl.hpp"
#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/HardwareSensorKind.hpp"

namespace pyrelle {

// The typed face of the System Management Controller over one shim connection: decoded reads,
// writes confirmed by read-back, fans with speeds and modes, and the machine's sensor keys.
// No lock of its own: callers must not write through one SMC from two threads at once.
class SMC final : public CoolingHardware {
public:
    // The clock and pause behind every time bound (read-back deadline, hand-over retries).
    struct Timing {
        std::function<double()> now;        // monotonic seconds; default: system uptime
        std::function<void(double)> pause;  // default: sleep the calling thread
        static Timing system();
    };

    static constexpr double readBackTimeout = 2.0;  // seconds a write waits for its read-back
    static constexpr double readBackPause = 0.05;   // between read-backs
    static constexpr double handOverPause = 0.1;    // between Apple Silicon mode-write retries

    // A sensor key found by discovery and the kind its type gives it.
    struct SensorKey {
        std::string key;
        HardwareSensorKind kind = HardwareSensorKind::temperature;
        friend bool operator==(const SensorKey&, const SensorKey&) = default;
    };

    // A key's size and type as the SMC reported them; they do not change while it runs.
    struct KeyInfo {
        uint32_t size = 0;
        uint32_t type = 0;
    };
    using KeyInfos = std::unordered_map<std::string, KeyInfo>;

    // Opens the connection (0 when there is no SMC service).
    SMC();
    explicit SMC(Timing timing);
    ~SMC() override;
    SMC(const SMC&) = delete;
    SMC& operator=(const SMC&) = delete;

    bool available() const { return connection_ != 0; }
    uint32_t connection() const { return connection_; }
    // Closes and reopens the connection; the fan hand-over state is kept.
    void reopen();

    // Throws ScopeError "SMC {key} 读取失败（{code}）" for any non-zero shim result.
    PYRValue raw(const std::string& key) const;
    // The decoded value; none when the read fails or the value is not finite.
    std::optional<double> number(const std::string& key) const;
    // number() of each key, read as one batch (a few round trips to the device in all).
    std::vector<std::optional<double>> numbers(const std::vector<std::string>& keys) const;
    // The same, asking only for the bytes of keys whose info `infos` holds (one exchange each
    // instead of two). A key whose held info the device contradicts, and a key without held
    // info, is read in full, and what it reports is kept in `infos`.
    std::vector<std::optional<double>> numbers(const std::vector<std::string>& keys,
                                               KeyInfos& infos) const;
    // Encodes and writes, then reads back until two consecutive reads lie within 1 of `number`
    // (at most 2 seconds). Throws ScopeError when any step fails or nothing is confirmed.
    void write(const std::string& key, double number);
    // Writes sent to the device through this object so far (whether or not they succeeded):
    // a run that sent none has changed nothing it would have to hand back.
    uint64_t writeAttempts() const { return writeAttempts_; }

    std::vector<FanReading> fans() override;
    std::optional<double> target(int fan) override;
    void setTarget(int fan, double rpm) override;
    void setManual(int fan, bool manual) override;

    // Every T/P/V/I key whose type gives it a kind and whose value is valid, sorted by key.
    // With `infos`, the size and type of every key listed are kept there.
    std::vector<SensorKey> sensorKeys(KeyInfos* infos = nullptr) const;
    std::vector<std::string> temperatureKeys() const;

private:
    AppleSiliconFanControl& armFans();
    std::optional<double> fanValue(int fan, const char* suffix) const;

    uint32_t connection_ = 0;
    uint64_t writeAttempts_ = 0;
    Timing timing_;
    std::unique_ptr<AppleSiliconFanControl> armFans_;
};

}  // namespace pyrelle
