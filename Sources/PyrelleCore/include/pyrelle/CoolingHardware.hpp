#pragma once

#include <optional>
#include <vector>

#include "pyrelle/FanReading.hpp"

namespace pyrelle {

// The narrow interface through which fan-control leases drive fans. The virtual functions are
// declared in the interface's slot order: fans, target, setTarget, setManual.
class CoolingHardware {
public:
    virtual ~CoolingHardware() = default;

    // Every fan that could be read; never fails (empty when none could be read).
    virtual std::vector<FanReading> fans() = 0;
    // The fan's current target speed in rpm; absent when it cannot be read.
    virtual std::optional<double> target(int fan) = 0;
    // Sets the fan's target speed, verified by read-back; throws ScopeError.
    virtual void setTarget(int fan, double rpm) = 0;
    // Switches the fan between manual (forced) and system-automatic mode; throws ScopeError.
    virtual void setManual(int fan, bool manual) = 0;
};

}  // namespace pyrelle
