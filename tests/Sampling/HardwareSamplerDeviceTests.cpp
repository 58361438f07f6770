// The hardware sampler against the in-process virtual Mac: sensor discovery with its labels
// and probing of built-in keys, values outside a kind's range, sensors that vanish, reset and
// the turbo refresh, and the power-manager state read through the shim.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>

#include "CSMCDevice.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"

namespace pyrelle {
namespace {

using sim::FourCC;
using sim::KeySource;
using sim::KeySpec;

// The Apple M4 Pro profile plus one listed GPU key without a built-in label.
sim::Profile testProfile() {
    auto profile = *sim::Profile::named("apple-m4-pro");
    KeySpec spec;
    spec.key = FourCC("TG1P");
    spec.type = FourCC("flt ");
    spec.size = 4;
    spec.source = KeySource::temperature;
    spec.index = static_cast<uint8_t>(sim::ThermalNode::gpu);
    profile.keys.push_back(spec);
    return profile;
}

class HardwareSamplerDevice : public ::testing::Test {
protected:
    void SetUp() override {
        device = std::make_shared<sim::VirtualSMC>(testProfile());
        csmc::installDevice(device);
    }
    void TearDown() override { csmc::installDevice(nullptr); }

    void control(const nlohmann::json& request) {
        const auto reply = device->control(request);
        ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
    }

    static const SensorReading* sensor(const Snapshot& snapshot, const std::string& key) {
        const auto found = std::find_if(snapshot.sensors.begin(), snapshot.sensors.end(),
                                        [&](const SensorReading& s) { return s.key == key; });
        return found == snapshot.sensors.end() ? nullptr : &*found;
    }
    static const HardwareSensorReading* additional(const Snapshot& snapshot,
                                                   const std::string& key) {
        const auto& list = *snapshot.additionalSensors;
        const auto found = std::find_if(
            list.begin(), list.end(), [&](const HardwareSensorReading& s) { return s.key == key; });
        return found == list.end() ? nullptr : &*found;
    }

    std::shared_ptr<sim::VirtualSMC> device;
};

TEST_F(HardwareSamplerDevice, DiscoveryLabelsEnumeratedAndProbedSensors) {
    HardwareSampler sampler;
    const Snapshot snapshot = sampler.sample();
    ASSERT_TRUE(snapshot.smcAvailable);
    EXPECT_EQ(snapshot.fans.size(), 2u);
    EXPECT_FALSE(snapshot.cpuUsage);

    ASSERT_NE(sensor(snapshot, "TC0P"), nullptr);
    EXPECT_EQ(sensor(snapshot, "TC0P")->label, "CPU proximity");
    // Answered by name only: found by probing the built-in table.
    ASSERT_NE(sensor(snapshot, "TC0D"), nullptr);
    EXPECT_EQ(sensor(snapshot, "TC0D")->label, "CPU diode");
    ASSERT_NE(sensor(snapshot, "TG0P"), nullptr);
    EXPECT_EQ(sensor(snapshot, "TG0P")->label, "GPU proximity");
    ASSERT_NE(sensor(snapshot, "TC6C"), nullptr);
    EXPECT_EQ(sensor(snapshot, "TC6C")->label, "CPU core sensor 6");
    // A built-in key that reads 0 °C is no sensor.
    EXPECT_EQ(sensor(snapshot, "TC0E"), nullptr);
    EXPECT_EQ(additional(snapshot, "TC0E"), nullptr);

    ASSERT_NE(sensor(snapshot, "TG1P"), nullptr);
    EXPECT_EQ(sensor(snapshot, "TG1P")->label, "GPU · TG1P");
    ASSERT_NE(sensor(snapshot, "Tp01"), nullptr);
    EXPECT_EQ(sensor(snapshot, "Tp01")->label, "其他 · Tp01");

    const auto* power = additional(snapshot, "PSTR");
    ASSERT_NE(power, nullptr);
    EXPECT_EQ(power->label, "PSTR");
    EXPECT_EQ(power->kind, HardwareSensorKind::power);
    EXPECT_TRUE(power->value);

    // Probed keys follow the enumerated ones.
    const auto known = sampler.knownSensors();
    const auto position = [&](const std::string& key) {
        return std::find_if(known.begin(), known.end(),
                            [&](const auto& s) { return s.key == key; }) -
               known.begin();
    };
    EXPECT_LT(position("TG1P"), position("TC0D"));
    EXPECT_LT(position("TC0D"), position("TG0P"));  // in table order
}

TEST_F(HardwareSamplerDevice, TemperaturesOutsideTheRangeAreListedWithoutValue) {
    HardwareSampler sampler;
    sampler.sample();
    control({{"op", "set"}, {"key", "TC0P"}, {"value", 130}});
    control({{"op", "set"}, {"key", "TG1P"}, {"value", 0}});
    const Snapshot snapshot = sampler.sample();
    EXPECT_EQ(sensor(snapshot, "TC0P"), nullptr);
    EXPECT_EQ(sensor(snapshot, "TG1P"), nullptr);
    for (const char* key : {"TC0P", "TG1P"}) {
        const auto* reading = additional(snapshot, key);
        ASSERT_NE(reading, nullptr) << key;
        EXPECT_EQ(reading->kind, HardwareSensorKind::temperature);
        EXPECT_FALSE(reading->value) << key;
    }
    control({{"op", "set"}, {"key", "TC0P"}, {"value", 129.5}});
    EXPECT_NE(sensor(sampler.sample(), "TC0P"), nullptr);
}

// Current and power flow both ways (a discharging battery reads a negative current): their
// negative readings are kept; a negative voltage or fan speed is no reading.
TEST_F(HardwareSamplerDevice, NegativeReadingsKeptOnlyForSignedKinds) {
    HardwareSampler sampler;
    sampler.sample();
    const struct {
        const char* key;
        double value;
        std::optional<double> expected;
    } cases[] = {{"IBTR", -2.5, -2.5},
                 {"ID0R", -1000, -1000},
                 {"PSTR", -20, -20},
                 {"ID0R", -1000.5, std::nullopt},
                 {"VBAT", -1, std::nullopt}};
    for (const auto& c : cases) {
        control({{"op", "set"}, {"key", c.key}, {"value", c.value}});
        const Snapshot snapshot = sampler.sample();
        const auto* reading = additional(snapshot, c.key);
        ASSERT_NE(reading, nullptr) << c.key;
        if (c.expected) {
            ASSERT_TRUE(reading->value) << c.key << " " << c.value;
            EXPECT_NEAR(*reading->value, *c.expected, 1e-3) << c.key;
        } else {
            EXPECT_FALSE(reading->value) << c.key << " " << c.value;
        }
    }
}

TEST_F(HardwareSamplerDevice, ASensorSeenOnceIsNeverDropped) {
    HardwareSampler sampler;
    sampler.sample();
    control({{"op", "fault"}, {"kind", "refuse-read"}, {"key", "TG1P"}});
    Snapshot snapshot;
    for (int i = 1; i <= 60; ++i) snapshot = sampler.sample();  // the 61st sample rediscovers
    const auto known = sampler.knownSensors();
    ASSERT_FALSE(known.empty());
    EXPECT_EQ(known.back().key, "TG1P");  // kept after the sensors found now
    EXPECT_EQ(known.back().label, "GPU · TG1P");
    const auto* reading = additional(snapshot, "TG1P");
    ASSERT_NE(reading, nullptr);
    EXPECT_FALSE(reading->value);

    control({{"op", "clear-faults"}});
    EXPECT_NE(sensor(sampler.sample(), "TG1P"), nullptr);
}

TEST_F(HardwareSamplerDevice, ResetRediscoversAndRefreshTurboRunsDiscoveryNext) {
    HardwareSampler sampler;
    sampler.sample();
    control({{"op", "set"}, {"key", "TC0E"}, {"value", 45}});
    EXPECT_EQ(sensor(sampler.sample(), "TC0E"), nullptr);  // no discovery on this sample
    sampler.refreshTurbo();
    const Snapshot refreshed = sampler.sample();
    ASSERT_NE(sensor(refreshed, "TC0E"), nullptr);
    EXPECT_EQ(sensor(refreshed, "TC0E")->label, "CPU PECI");
    EXPECT_DOUBLE_EQ(sensor(refreshed, "TC0E")->celsius, 45);
    EXPECT_EQ(refreshed.turbo, TurboState::unsupported);

    control({{"op", "fault"}, {"kind", "refuse-read"}, {"key", "TG1P"}});
    sampler.reset();
    EXPECT_TRUE(sampler.knownSensors().empty());
    const Snapshot after = sampler.sample();
    EXPECT_FALSE(after.cpuUsage);
    EXPECT_TRUE(after.smcAvailable);
    EXPECT_NE(sensor(after, "TC0P"), nullptr);
    EXPECT_EQ(additional(after, "TG1P"), nullptr);  // forgotten by the reset, not listed now
}

TEST_F(HardwareSamplerDevice, PowerManagerStateComesFromTheVirtualMac) {
    control({{"op", "power"},
             {"speedLimit", 70},
             {"availableCPUs", 10},
             {"thermalState", 2},
             {"thermalWarning", 5},
             {"acPower", false},
             {"lowPower", true},
             {"memoryPressure", 2},
             {"schedulerLimit", nullptr}});
    HardwareSampler sampler;
    const Snapshot snapshot = sampler.sample();
    EXPECT_EQ(snapshot.speedLimit, 70);
    EXPECT_FALSE(snapshot.schedulerLimit);
    EXPECT_EQ(snapshot.availableCPUs, 10);
    EXPECT_EQ(snapshot.totalCPUs, 14);
    EXPECT_EQ(snapshot.thermalState, 2);
    EXPECT_EQ(snapshot.thermalWarning, 5);
    EXPECT_EQ(snapshot.acPower, false);
    EXPECT_TRUE(snapshot.lowPower);
    EXPECT_EQ(snapshot.memoryPressure, MemoryPressure::warning);
    EXPECT_TRUE(snapshot.limited());
}

TEST_F(HardwareSamplerDevice, KernelErrorsDuringASampleLeaveValuesAbsent) {
    HardwareSampler sampler;
    sampler.sample();
    control({{"op", "fault"}, {"kind", "kernel-error"}, {"count", 100000}});
    const Snapshot snapshot = sampler.sample();
    EXPECT_TRUE(snapshot.sensors.empty());
    ASSERT_TRUE(snapshot.additionalSensors);
    EXPECT_FALSE(snapshot.additionalSensors->empty());  // known sensors, without values
    for (const auto& reading : *snapshot.additionalSensors)
        EXPECT_FALSE(reading.value) << reading.key;
    EXPECT_TRUE(snapshot.fans.empty());
}

}  // namespace
}  // namespace pyrelle
