#pragma once
// A sampler platform whose every answer is a field the test sets, and which counts the calls
// it receives, so a test controls and observes everything the sampler asks of the system.

#include <atomic>
#include <memory>

#include "pyrelle/SamplerPlatform.hpp"

namespace pyrelle::testing {

class FakeSamplerPlatform : public SamplerPlatform {
public:
    int32_t ticksStatus = 0;
    PYRCPUTicks ticks{100, 50, 1000, 0};
    PYRPowerStatus power{100, 100, 8, 0};
    int32_t ac = 1;
    Date date{800000000.0};
    int processors = 8;
    int thermal = 0;
    bool offersLowPower = true;
    bool lowPower = false;
    int32_t pressure = 1;
    std::atomic<int> calls{0};

    int32_t cpuTicks(PYRCPUTicks& out) override {
        ++calls;
        if (ticksStatus == 0) out = ticks;
        return ticksStatus;
    }
    PYRPowerStatus powerStatus() override { return power; }
    int32_t acPower() override { return ac; }
    Date now() override { return date; }
    int processorCount() override { return processors; }
    int thermalState() override { return thermal; }
    bool offersLowPowerMode() override { return offersLowPower; }
    bool lowPowerMode() override { return lowPower; }
    int32_t memoryPressure() override { return pressure; }

    // Moves the counters as `busy` user ticks and `idle` idle ticks would.
    void advance(uint64_t busy, uint64_t idle) {
        ticks.user += busy;
        ticks.idle += idle;
    }
};

}  // namespace pyrelle::testing
