#include "pyrelle/SamplerPlatform.hpp"

#include "pyrelle/SystemCapabilities.hpp"

namespace pyrelle {

namespace {

// The native shim's probes.
class ShimPlatform final : public SamplerPlatform {
public:
    int32_t cpuTicks(PYRCPUTicks& out) override { return pyr_cpu_ticks(&out); }
    PYRPowerStatus powerStatus() override { return pyr_power_status(); }
    int32_t acPower() override { return pyr_ac_power(); }
    Date now() override { return Date::now(); }
    int processorCount() override { return pyr_processor_count(); }
    int thermalState() override { return pyr_thermal_state(); }
    bool offersLowPowerMode() override { return SystemCapabilities::lowPowerMode(); }
    bool lowPowerMode() override { return pyr_low_power_mode() == 1; }
    int32_t memoryPressure() override { return pyr_memory_pressure(); }
};

}  // namespace

std::shared_ptr<SamplerPlatform> SamplerPlatform::system() {
    static const auto platform = std::make_shared<ShimPlatform>();
    return platform;
}

}  // namespace pyrelle
