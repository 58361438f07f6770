#include "PowerControl.hpp"

#include "CSMC.h"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::helper {

SystemPowerAccess::Probes SystemPowerAccess::Probes::system() {
    Probes probes;
    probes.acPower = [] { return pyr_ac_power(); };
    probes.turboDriverState = [] { return pyr_turbo_driver_state(); };
    probes.assertions = SleepBlocker::systemAssertions;
    return probes;
}

SystemPowerAccess::SystemPowerAccess()
    : SystemPowerAccess(NativePowerSettings(), Probes::system()) {}

SystemPowerAccess::SystemPowerAccess(NativePowerSettings settings, Probes probes)
    : settings_(std::move(settings)), probes_(std::move(probes)) {}

PowerConfiguration SystemPowerAccess::configuration() {
    return settings_.read(&notes_);
}

void SystemPowerAccess::set(PowerSetting setting, PowerSource source, std::int64_t value) {
    settings_.write(setting, source, value);
}

std::optional<PowerSource> SystemPowerAccess::currentSource() {
    const int32_t ac = probes_.acPower();
    if (ac < 0) return std::nullopt;
    return ac == 1 ? PowerSource::ac : PowerSource::battery;
}

bool SystemPowerAccess::hasSleepBlockers() {
    // The tool's own word that sleep is held off right now ("sleep prevented by …").
    for (const auto& [entry, note] : notes_) {
        if (entry.second == PowerSetting::sleep && note.find("prevented") != std::string::npos)
            return true;
    }
    return !SleepBlocker::read(probes_.assertions).empty();
}

std::optional<std::int64_t> SystemPowerAccess::turboState() {
    const int32_t state = probes_.turboDriverState();
    if (state < 0) return std::nullopt;
    return state;
}

void SystemPowerAccess::setTurbo(bool) {
    throw ScopeError("Intel 睿频不适用于 Apple Silicon");
}

}  // namespace pyrelle::helper
