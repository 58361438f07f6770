// Battery and memory telemetry over fixture trees of /sys/class/power_supply and
// /proc/meminfo, the watts formula's bounds, and the record's JSON form.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "../Probes/FixtureTree.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SystemTelemetry.hpp"

namespace pyrelle {
namespace {

using testing::FixtureTree;

const char* kMeminfo =
    "MemTotal:       16000000 kB\nMemFree:         1000000 kB\n"
    "MemAvailable:    4000000 kB\nBuffers:          100000 kB\n";

void battery(const FixtureTree& tree, const std::string& name,
             std::initializer_list<std::pair<const char*, const char*>> attributes) {
    tree.write("sys/class/power_supply/" + name + "/type", "Battery\n");
    for (const auto& [file, value] : attributes) {
        tree.write("sys/class/power_supply/" + name + "/" + file, std::string(value) + "\n");
    }
}

TEST(SystemTelemetry, WattsBounds) {
    EXPECT_DOUBLE_EQ(*SystemTelemetry::watts(11000, -1500), -16.5);
    EXPECT_DOUBLE_EQ(*SystemTelemetry::watts(1000, 29999), 29.999);
    EXPECT_DOUBLE_EQ(*SystemTelemetry::watts(30000, 0), 0.0);
    EXPECT_FALSE(SystemTelemetry::watts(900, 100));
    EXPECT_FALSE(SystemTelemetry::watts(30001, 100));
    EXPECT_FALSE(SystemTelemetry::watts(11000, 30000));  // the current bound is strict
    EXPECT_FALSE(SystemTelemetry::watts(11000, -30000));
    EXPECT_FALSE(SystemTelemetry::watts(std::nullopt, 100));
    EXPECT_FALSE(SystemTelemetry::watts(11000, std::nullopt));
    EXPECT_FALSE(SystemTelemetry::watts(std::numeric_limits<double>::quiet_NaN(), 100));
    EXPECT_FALSE(SystemTelemetry::watts(11000, std::numeric_limits<double>::infinity()));
}

TEST(SystemTelemetry, DesktopWithoutBattery) {
    FixtureTree tree;
    tree.write("proc/meminfo", kMeminfo);
    tree.write("sys/class/power_supply/AC/type", "Mains\n");
    const auto telemetry = SystemTelemetry::read(tree.root(), Date(42));
    EXPECT_FALSE(telemetry.batteryPercent);
    EXPECT_FALSE(telemetry.batteryWatts);
    EXPECT_FALSE(telemetry.charging);
    EXPECT_FALSE(telemetry.cycles);
    EXPECT_DOUBLE_EQ(telemetry.memoryTotal, 16000000.0 * 1024);
    EXPECT_DOUBLE_EQ(*telemetry.memoryUsed, 12000000.0 * 1024);
    EXPECT_DOUBLE_EQ(*telemetry.memoryPercent(), 75.0);
    EXPECT_EQ(telemetry.date, Date(42));
}

TEST(SystemTelemetry, LaptopBatteryDischarging) {
    FixtureTree tree;
    tree.write("proc/meminfo", kMeminfo);
    battery(tree, "BAT0",
            {{"status", "Discharging"},
             {"energy_now", "30000000"},
             {"energy_full", "60000000"},
             {"voltage_now", "11000000"},
             {"current_now", "1500000"},
             {"cycle_count", "312"}});
    const auto telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_DOUBLE_EQ(*telemetry.batteryPercent, 50.0);
    EXPECT_EQ(telemetry.charging, false);
    EXPECT_DOUBLE_EQ(*telemetry.batteryWatts, -16.5);  // signed by the status: discharging
    EXPECT_EQ(telemetry.cycles, 312);
}

TEST(SystemTelemetry, ChargeCountersPercentFallbackAndPowerNow) {
    FixtureTree tree;
    battery(tree, "BAT0",
            {{"status", "Charging"},
             {"charge_now", "1050"},
             {"charge_full", "1000"},
             {"voltage_now", "12000000"},
             {"power_now", "24000000"}});
    auto telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_DOUBLE_EQ(*telemetry.batteryPercent, 100.0);  // capped
    EXPECT_EQ(telemetry.charging, true);
    EXPECT_DOUBLE_EQ(*telemetry.batteryWatts, 24.0);

    FixtureTree other;
    battery(other, "BAT1", {{"status", "Unknown"}, {"capacity", "77"}, {"charge_full", "0"}});
    telemetry = SystemTelemetry::read(other.root(), Date(0));
    EXPECT_DOUBLE_EQ(*telemetry.batteryPercent, 77.0);
    EXPECT_FALSE(telemetry.charging);
}

TEST(SystemTelemetry, NonsenseFromTheBatteryBecomesAbsent) {
    FixtureTree tree;
    battery(tree, "BAT0",
            {{"status", "Full"},
             {"energy_now", "500"},
             {"energy_full", "0"},
             {"voltage_now", "garbage"},
             {"current_now", "-1000"},
             {"cycle_count", "100000"}});
    auto telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_FALSE(telemetry.batteryPercent);  // maximum 0
    EXPECT_FALSE(telemetry.batteryWatts);    // no usable voltage
    EXPECT_FALSE(telemetry.cycles);          // 100 000 or more
    EXPECT_EQ(telemetry.charging, false);

    FixtureTree negative;
    battery(negative, "BAT0",
            {{"capacity", "-5"},
             {"cycle_count", "-1"},
             {"voltage_now", "500000"},
             {"current_now", "100000"}});
    telemetry = SystemTelemetry::read(negative.root(), Date(0));
    EXPECT_DOUBLE_EQ(*telemetry.batteryPercent, 0.0);  // raised to 0
    EXPECT_FALSE(telemetry.cycles);
    EXPECT_FALSE(telemetry.batteryWatts);  // 500 mV is below the plausible range
}

TEST(SystemTelemetry, PeripheralAndAbsentBatteriesAreIgnoredAndTheLastInternalWins) {
    FixtureTree tree;
    battery(tree, "BAT0", {{"capacity", "40"}, {"status", "Discharging"}, {"cycle_count", "10"}});
    battery(tree, "BAT1", {{"capacity", "90"}, {"status", "Charging"}, {"cycle_count", "20"}});
    battery(tree, "BAT2", {{"capacity", "5"}, {"present", "0"}});
    battery(tree, "hid-mouse-battery", {{"capacity", "1"}, {"scope", "Device"}});
    const auto telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_DOUBLE_EQ(*telemetry.batteryPercent, 90.0);
    EXPECT_EQ(telemetry.charging, true);
    EXPECT_EQ(telemetry.cycles, 10);  // registry values come from the first battery
}

TEST(SystemTelemetry, MemoryEdgeCases) {
    FixtureTree tree;
    tree.write("proc/meminfo", "MemTotal: 1000 kB\nMemAvailable: 2000 kB\n");
    auto telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_DOUBLE_EQ(*telemetry.memoryUsed, 0.0);

    tree.write("proc/meminfo", "MemTotal: 1000 kB\nMemFree: 10 kB\n");
    telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_FALSE(telemetry.memoryUsed);
    EXPECT_FALSE(telemetry.memoryPercent());
    EXPECT_DOUBLE_EQ(telemetry.memoryTotal, 1024000.0);

    tree.write("proc/meminfo", "garbage");
    telemetry = SystemTelemetry::read(tree.root(), Date(0));
    EXPECT_FALSE(telemetry.memoryUsed);
    EXPECT_GT(telemetry.memoryTotal, 0);  // the machine's physical memory

    SystemTelemetry zero;
    zero.memoryUsed = 5;
    EXPECT_FALSE(zero.memoryPercent());  // no installed memory known: no percentage
}

TEST(SystemTelemetry, LiveReadNeverFails) {
    const auto telemetry = SystemTelemetry::read();
    EXPECT_GT(telemetry.memoryTotal, 0);
    ASSERT_TRUE(telemetry.memoryUsed);
    EXPECT_LE(*telemetry.memoryUsed, telemetry.memoryTotal);
}

TEST(SystemTelemetry, JSONLeavesAbsentValuesOut) {
    SystemTelemetry telemetry;
    telemetry.date = Date(10);
    telemetry.batteryPercent = 55;
    telemetry.cycles = 3;
    telemetry.memoryTotal = 1024;
    const nlohmann::json json = telemetry;
    EXPECT_EQ(json, nlohmann::json::parse(
                        R"({"date":10,"batteryPercent":55,"cycles":3,"memoryTotal":1024})"));
    EXPECT_EQ(json.get<SystemTelemetry>(), telemetry);
    EXPECT_THROW(nlohmann::json::parse(R"({"date":10})").get<SystemTelemetry>(), ScopeError);
    EXPECT_THROW(
        nlohmann::json::parse(R"({"date":10,"memoryTotal":1,"charging":1})").get<SystemTelemetry>(),
        ScopeError);
}

}  // namespace
}  // namespace pyrelle
