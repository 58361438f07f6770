#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pyrelle/CPUCounters.hpp"
#include "pyrelle/HardwareSensorKind.hpp"
#include "pyrelle/SMC.hpp"
#include "pyrelle/SamplerPlatform.hpp"
#include "pyrelle/Snapshot.hpp"
#include "pyrelle/SystemClock.hpp"
#include "pyrelle/TurboState.hpp"

namespace pyrelle {

// Produces one Snapshot per sample(): CPU load from tick counters, the SMC's sensors (found by
// discovery on the first and every 60th sample and never forgotten), fans, and the system's
// limits, thermal state, power source, low-power mode and memory pressure. Thread-safe: one
// lock serialises sample(), reset() and refreshTurbo(), and is held for the whole of each.
class HardwareSampler {
public:
    // A sensor to read on every sample.
    struct KnownSensor {
        std::string key;
        std::string label;
        HardwareSensorKind kind = HardwareSensorKind::temperature;
        friend bool operator==(const KnownSensor&, const KnownSensor&) = default;
    };

    static constexpr int64_t discoveryInterval = 60;  // samples between discoveries
    static constexpr int64_t turboInterval = 5;       // samples between turbo evaluations
    static constexpr double probePause = 0.25;        // seconds between the probe's two samples

    // Opens an SMC connection; reads the system through the native shim.
    HardwareSampler();
    explicit HardwareSampler(std::shared_ptr<SamplerPlatform> platform);
    HardwareSampler(const HardwareSampler&) = delete;
    HardwareSampler& operator=(const HardwareSampler&) = delete;

    // Never fails: every reading that cannot be taken is absent (or false, or empty).
    Snapshot sample();

    // Forgets the CPU counters and the known sensors, reopens the SMC connection and makes the
    // next sample run discovery. The sample count and turbo state are kept.
    void reset();

    // Opens a new SMC connection in place of the current one (which may have timed out or
    // broken, and then answers nothing) and makes the next sample run discovery; the CPU
    // counters and the known sensors are kept, so CPU use stays continuous.
    void reconnect();

    // Makes the next sample re-evaluate the turbo state (and run discovery).
    void refreshTurbo();

    // What the `probe` command prints: one sample, a pause of `probePause` seconds, and the
    // second sample, which then has a CPU percentage whenever the counters moved.
    Snapshot probe(const std::function<void(double)>& pause = SystemClock::sleep);

    // The sensors read on every sample, in discovery order.
    std::vector<KnownSensor> knownSensors() const;

    // The built-in labels for keys enumeration may miss, in probing order.
    static const std::vector<std::pair<std::string, std::string>>& builtInLabels();

private:
    std::vector<KnownSensor> discover() const;
    TurboState evaluateTurbo() const;

    mutable std::mutex lock_;
    std::shared_ptr<SamplerPlatform> platform_;
    SMC smc_;                              // guarded by lock_
    std::optional<CPUCounters> previous_;  // guarded by lock_
    std::vector<KnownSensor> known_;       // guarded by lock_
    // The size and type of each sensor key, learned at discovery (or by a full read), so a
    // steady sample asks the SMC for the bytes alone.
    mutable SMC::KeyInfos keyInfos_;          // guarded by lock_
    bool needsDiscovery_ = true;              // guarded by lock_
    int64_t ticks_ = 0;                       // guarded by lock_
    TurboState turbo_ = TurboState::unknown;  // guarded by lock_
};

}  // namespace pyrelle
