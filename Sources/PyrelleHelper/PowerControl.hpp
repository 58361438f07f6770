#pragma once
// The helper's own access to the system's power settings, for power transactions run inside
// the privileged helper: a thin adapter over the settings tool, the sleep-blocker read and the
// system probes. Turbo boost is only observed, never switched, on Apple Silicon.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "pyrelle/NativePowerSettings.hpp"
#include "pyrelle/PowerSettingsAccess.hpp"
#include "pyrelle/SleepBlocker.hpp"

namespace pyrelle::helper {

class SystemPowerAccess final : public PowerSettingsAccess {
public:
    // The probes it forwards to; the defaults are the native shim's.
    struct Probes {
        std::function<int32_t()> acPower;           // pyr_ac_power
        std::function<int32_t()> turboDriverState;  // pyr_turbo_driver_state
        SleepBlocker::AssertionSource assertions;   // the system's sleep assertions
        static Probes system();
    };

    SystemPowerAccess();
    SystemPowerAccess(NativePowerSettings settings, Probes probes);

    PowerConfiguration configuration() override;
    void set(PowerSetting setting, PowerSource source, std::int64_t value) override;
    std::optional<PowerSource> currentSource() override;
    // True when the settings tool's latest listing noted that sleep is being prevented (on
    // either source), else whether the system lists any sleep assertion.
    bool hasSleepBlockers() override;
    std::optional<std::int64_t> turboState() override;
    // Always fails: "Intel 睿频不适用于 Apple Silicon".
    void setTurbo(bool disabled) override;

private:
    NativePowerSettings settings_;
    Probes probes_;
    PowerConfiguration::Notes notes_;  // of the latest configuration() read
};

}  // namespace pyrelle::helper
