#pragma once

#include <cstdint>
#include <optional>

#include "pyrelle/PowerConfiguration.hpp"
#include "pyrelle/PowerSetting.hpp"
#include "pyrelle/PowerSource.hpp"

namespace pyrelle {

// What a power transaction needs from the system. Failures are ScopeError values whose
// text ends up in the transaction's messages.
class PowerSettingsAccess {
public:
    // All readable settings of both sources as they are now.
    virtual PowerConfiguration configuration() = 0;
    // Writes one setting; returns only once the new value has been confirmed by reading it back.
    virtual void set(PowerSetting setting, PowerSource source, std::int64_t value) = 0;
    // The source powering the machine now; absent when unknown.
    virtual std::optional<PowerSource> currentSource() = 0;
    // Whether any process holds an assertion that blocks sleep.
    virtual bool hasSleepBlockers() = 0;
    // The turbo-disable driver: 1 loaded (turbo off), 0 not loaded, absent when unknown.
    virtual std::optional<std::int64_t> turboState() = 0;
    // Switches turbo boost off (true) or back on (false).
    virtual void setTurbo(bool disabled) = 0;

    virtual ~PowerSettingsAccess() = default;
};

}  // namespace pyrelle
