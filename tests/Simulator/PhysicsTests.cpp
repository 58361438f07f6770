// The virtual Mac behaves as a whole machine: load heats it, airflow cools it, the power
// manager's view follows the temperatures.

#include <gtest/gtest.h>

#include "SimulatorFixture.hpp"

namespace pyrelle::sim::testing {
namespace {

double cpu(SimulatedMac& mac) {
    return mac.state()["thermal"]["cpu"].get<double>();
}

TEST(Physics, LoadRaisesTemperaturesThermalStateAndLowersTheSpeedLimit) {
    SimulatedMac mac;
    const double idle = *mac.probe.value("TC0P");
    const auto idlePower = mac.device->powerState();
    EXPECT_EQ(idlePower["thermalState"], 0);
    EXPECT_EQ(idlePower["speedLimit"], 100);
    mac.ok({{"op", "load"}, {"value", 1.0}});
    mac.advance(600);
    EXPECT_GT(*mac.probe.value("TC0P"), idle + 25);
    EXPECT_GT(*mac.probe.value("Tg1U"), 45);
    const auto hot = mac.device->powerState();
    EXPECT_GE(hot["thermalState"].get<int>(), 2);
    EXPECT_LT(hot["speedLimit"].get<int>(), 100);
    EXPECT_GT(hot["thermalWarning"].get<int>(), 0);
    EXPECT_GT(*mac.probe.value("F0Ac"), 3000) << "the system's controller speeds the fans up";
    EXPECT_GT(*mac.probe.value("PSTR"), 40);
}

TEST(Physics, ManualFansAtMaximumRunCoolerThanTheController) {
    SimulatedMac automatic, manual;
    for (auto* mac : {&automatic, &manual}) mac->ok({{"op", "load"}, {"value", 1.0}});
    ASSERT_EQ(manual.probe.write("Ftst", 1), 0);
    manual.advance(1);
    automatic.advance(1);
    for (const char* n : {"0", "1"}) {
        ASSERT_EQ(manual.probe.write(std::string("F") + n + "Md", 1), 0);
        ASSERT_EQ(manual.probe.write(std::string("F") + n + "Tg",
                                     *manual.probe.value(std::string("F") + n + "Mx")),
                  0);
    }
    automatic.advance(600);
    manual.advance(600);
    EXPECT_LT(cpu(manual), cpu(automatic) - 3);
    EXPECT_LT(*manual.probe.value("TC0P"), *automatic.probe.value("TC0P"));
}

TEST(Physics, AmbientTemperatureShiftsEverySensor) {
    SimulatedMac mac;
    const double before = *mac.probe.value("Ts0P");
    mac.ok({{"op", "ambient"}, {"celsius", 34}});
    mac.advance(1200);
    EXPECT_GT(*mac.probe.value("Ts0P"), before + 8);
}

TEST(Physics, FanlessMachineThrottlesInsteadOfOverheating) {
    SimulatedMac mac("apple-fanless");
    EXPECT_EQ(mac.probe.value("FNum"), 0);
    mac.ok({{"op", "load"}, {"value", 1.0}});
    mac.advance(1200);
    const auto power = mac.device->powerState();
    EXPECT_LT(power["speedLimit"].get<int>(), 100);
    EXPECT_LT(*mac.probe.value("TC0P"), 105);
}

TEST(Physics, AdvanceMovesTheDevicesOwnTime) {
    SimulatedMac mac;
    mac.ok({{"op", "load"}, {"value", 1.0}});
    mac.ok({{"op", "advance"}, {"seconds", 600}});
    EXPECT_GE(mac.device->powerState()["thermalState"].get<int>(), 2);
}

TEST(PowerManager, ReportsTheMachineAndAcceptsOverrides) {
    SimulatedMac mac;
    auto power = mac.device->powerState();
    EXPECT_EQ(power["brand"], "Apple M4 Pro");
    EXPECT_EQ(power["totalCPUs"], 14);
    EXPECT_EQ(power["availableCPUs"], 14);
    EXPECT_EQ(power["acPower"], true);
    EXPECT_EQ(power["memoryPressure"], 1);

    mac.ok({{"op", "power"},
            {"acPower", false},
            {"lowPower", true},
            {"memoryPressure", 4},
            {"thermalState", 3},
            {"schedulerLimit", nullptr}});
    power = mac.device->powerState();
    EXPECT_EQ(power["acPower"], false);
    EXPECT_EQ(power["lowPower"], true);
    EXPECT_EQ(power["memoryPressure"], 4);
    EXPECT_EQ(power["thermalState"], 3);
    EXPECT_FALSE(power.contains("schedulerLimit")) << "null means the machine does not supply it";
    EXPECT_EQ(mac.probe.value("PDTR"), 0) << "no adapter, no DC-in power";
    EXPECT_EQ(mac.probe.value("VD0R"), 0);

    mac.ok({{"op", "power"}, {"reset", true}});
    power = mac.device->powerState();
    EXPECT_EQ(power["acPower"], true);
    EXPECT_TRUE(power.contains("schedulerLimit"));
    EXPECT_GT(*mac.probe.value("VD0R"), 19);
}

TEST(PowerManager, RejectsBadOverrides) {
    SimulatedMac mac;
    for (const auto& request : {nlohmann::json{{"op", "power"}, {"thermalState", 4}},
                                nlohmann::json{{"op", "power"}, {"memoryPressure", 3}},
                                nlohmann::json{{"op", "power"}, {"acPower", 1}},
                                nlohmann::json{{"op", "power"}, {"speedLimit", 50.5}},
                                nlohmann::json{{"op", "power"}, {"turbo", true}}}) {
        EXPECT_FALSE(mac.control(request)["ok"].get<bool>()) << request.dump();
    }
    EXPECT_EQ(mac.device->powerState()["thermalState"], 0);
}

TEST(PowerManager, IntelReportsItsOwnBrand) {
    SimulatedMac mac("intel");
    EXPECT_EQ(mac.device->powerState()["brand"], "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz");
}

}  // namespace
}  // namespace pyrelle::sim::testing
