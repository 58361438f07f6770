#pragma once

#include <cstdint>
#include <memory>

#include "CSMCProbes.h"
#include "pyrelle/Date.hpp"

namespace pyrelle {

// Everything the hardware sampler asks of the operating system besides the SMC, in the order
// it asks. The default (`system()`) is the native shim's probes; tests substitute their own so
// every value is under their control. Answers use the shim's conventions (-1 = not supplied).
// Implementations are called under the sampler's lock, one call at a time.
class SamplerPlatform {
public:
    virtual ~SamplerPlatform() = default;

    // Aggregate CPU ticks: 0 and `out` filled, or a non-zero status.
    virtual int32_t cpuTicks(PYRCPUTicks& out) = 0;
    virtual PYRPowerStatus powerStatus() = 0;
    // 1 AC, 0 another source, negative unknown.
    virtual int32_t acPower() = 0;
    virtual Date now() = 0;
    virtual int processorCount() = 0;
    // 0 nominal ... 3 critical; -1 when the platform has no thermal state to report.
    virtual int thermalState() = 0;
    // Whether the system offers a low-power mode at all (see SystemCapabilities).
    virtual bool offersLowPowerMode() = 0;
    virtual bool lowPowerMode() = 0;
    // 1, 2 or 4; anything else is unknown.
    virtual int32_t memoryPressure() = 0;

    // The shim-backed platform of the running machine (shared, stateless).
    static std::shared_ptr<SamplerPlatform> system();
};

}  // namespace pyrelle
