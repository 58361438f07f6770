// Regenerates data/load-ramp.json: four minutes of one-second samples of the in-process virtual
// Mac (profile "apple-m4-pro") while its load is ramped from idle to full, with the per-
// application activity a desktop application would have grouped from the process sampler at the
// same moments. Disabled in normal runs; regenerate with
//   tests_diagnostics_fixture --gtest_also_run_disabled_tests
// and commit the file. The worked example in LoadRampExampleTests.cpp only reads it.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "CSMCDevice.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"

namespace pyrelle {
namespace {

constexpr double start = 818395200;  // 2026-12-08T04:00:00Z, seconds since the reference date
constexpr int duration = 240;

// The machine's load at second `t`: idle, then three steps up to full load.
double loadAt(int t) {
    if (t < 30) return 0.08;
    if (t < 60) return 0.4;
    if (t < 90) return 0.75;
    return 1.0;
}

// The sampler's view of the operating system, answered from the virtual Mac's power manager
// and from CPU ticks that follow its load.
class VirtualMacPlatform : public SamplerPlatform {
public:
    VirtualMacPlatform(std::shared_ptr<sim::VirtualSMC> device, const double* clock)
        : device_(std::move(device)), clock_(clock) {}

    void tick(double load, int cpus) {
        const auto total = static_cast<uint64_t>(cpus) * 100;
        const auto busy = static_cast<uint64_t>(std::lround(load * static_cast<double>(total)));
        ticks_.user += busy * 4 / 5;
        ticks_.system += busy - busy * 4 / 5;
        ticks_.idle += total - busy;
    }

    int32_t cpuTicks(PYRCPUTicks& out) override {
        out = ticks_;
        return 0;
    }
    PYRPowerStatus powerStatus() override {
        const auto state = device_->powerState();
        return PYRPowerStatus{state.value("speedLimit", -1), state.value("schedulerLimit", -1),
                              state.value("availableCPUs", -1), state.value("thermalWarning", -1)};
    }
    int32_t acPower() override { return device_->powerState().value("acPower", true) ? 1 : 0; }
    Date now() override { return Date(start + *clock_); }
    int processorCount() override { return device_->powerState().value("totalCPUs", 8); }
    int thermalState() override { return device_->powerState().value("thermalState", -1); }
    bool offersLowPowerMode() override { return true; }
    bool lowPowerMode() override { return device_->powerState().value("lowPower", false); }
    int32_t memoryPressure() override { return device_->powerState().value("memoryPressure", -1); }

private:
    std::shared_ptr<sim::VirtualSMC> device_;
    const double* clock_;
    PYRCPUTicks ticks_{1000, 500, 100000, 0};
};

// The applications behind the load: a renderer that carries the ramp, a backup that reads the
// disk hard for a while, and two quiet ones. Figures in the process sampler's units.
nlohmann::json activity(int t, double load, int cpus, std::mt19937& random) {
    std::uniform_real_distribution<double> jitter(-1, 1);
    nlohmann::json sources = nlohmann::json::array();
    const double render = std::max(0.0, load - 0.06) * cpus * 100 * (1 + 0.03 * jitter(random));
    sources.push_back({{"id", "com.example.render"},
                       {"name", "Render"},
                       {"cpu", render},
                       {"diskRate", 40000 + 8000 * jitter(random)}});
    sources.push_back({{"id", "com.apple.WindowServer"},
                       {"name", "WindowServer"},
                       {"cpu", 7 + 2 * jitter(random)},
                       {"diskRate", 0}});
    if (t >= 20 && t < 150) {
        sources.push_back({{"id", "com.example.backup"},
                           {"name", "Backup"},
                           {"cpu", 14 + 3 * jitter(random)},
                           {"diskRate", 3.1e7 + 4e6 * jitter(random)}});
    }
    // The sampler cannot read this one's disk counters: its rate is unknown.
    sources.push_back(
        {{"id", "com.apple.Safari"}, {"name", "Safari"}, {"cpu", 3 + jitter(random)}});
    return sources;
}

// Keeps the file small: the analysis reads only each category's hottest sensor, so the other
// hundred-odd readings (and the non-temperature sensors) are left out.
void trim(Snapshot& snapshot) {
    std::vector<SensorReading> kept;
    for (const SensorCategory category : allSensorCategories) {
        const SensorReading* hottest = nullptr;
        for (const SensorReading& sensor : snapshot.sensors)
            if (sensor.category() == category && (!hottest || sensor.celsius > hottest->celsius))
                hottest = &sensor;
        if (hottest) kept.push_back(*hottest);
    }
    snapshot.sensors = std::move(kept);
    snapshot.additionalSensors.reset();
}

TEST(LoadRampFixture, DISABLED_Regenerate) {
    double clock = 0;
    auto device = std::make_shared<sim::VirtualSMC>(*sim::Profile::named("apple-m4-pro"),
                                                    [&clock] { return clock; });
    csmc::installDevice(device);
    auto platform = std::make_shared<VirtualMacPlatform>(device, &clock);
    const int cpus = platform->processorCount();
    std::mt19937 random(42);

    nlohmann::json samples = nlohmann::json::array();
    {
        HardwareSampler sampler(platform);
        for (int t = 0; t <= duration; ++t) {
            const double load = loadAt(t);
            ASSERT_TRUE(device->control({{"op", "load"}, {"value", load}}).value("ok", false));
            clock = t;
            platform->tick(load, cpus);
            Snapshot snapshot = sampler.sample();
            trim(snapshot);
            samples.push_back({{"time", t},
                               {"load", load},
                               {"snapshot", snapshot},
                               {"sources", activity(t, load, cpus, random)},
                               {"blockers", 0},
                               {"batteryPercent", 100},
                               {"supportsLowPowerMode", true}});
        }
    }
    csmc::installDevice(nullptr);

    // One sample per line, so a regenerated file diffs sample by sample.
    std::ofstream out(std::string(PYRELLE_SOURCE_DIR) + "/tests/Diagnostics/data/load-ramp.json");
    out << "{\"origin\": \"virtual Mac apple-m4-pro, in process, one sample per second; load "
           "0.08, then 0.4 from 30 s, 0.75 from 60 s, 1.0 from 90 s\",\n \"samples\": [\n";
    for (std::size_t i = 0; i < samples.size(); ++i)
        out << "  " << samples[i].dump() << (i + 1 < samples.size() ? ",\n" : "\n");
    out << "]}\n";
    ASSERT_TRUE(out.good());
}

}  // namespace
}  // namespace pyrelle
