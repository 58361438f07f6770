// The Linux readers of the system probes, each run over fixture trees: how /proc and /sys
// values map onto the probes' answers, and that short, garbled or missing files give -1.

#include <gtest/gtest.h>

#include "FixtureTree.hpp"
#include "ProbeLinux.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle::csmc::probes {
namespace {

using testing::FixtureTree;

TEST(CPUTicks, MapsLinuxStatesOntoTheFourCounters) {
    FixtureTree tree;
    // user nice system idle iowait irq softirq steal guest guest_nice
    tree.write("proc/stat", "cpu  100 7 50 1000 20 3 2 9 0 0\ncpu0 50 3 25 500 10 1 1 4 0 0\n");
    PYRCPUTicks ticks{};
    ASSERT_EQ(cpuTicks(tree.root(), &ticks), 0);
    EXPECT_EQ(ticks.user, 100u);
    EXPECT_EQ(ticks.nice, 7u);
    EXPECT_EQ(ticks.system, 55u);  // system + irq + softirq
    EXPECT_EQ(ticks.idle, 1020u);  // idle + iowait
}

TEST(CPUTicks, CountersBeyondThirtyTwoBitsArePassedThrough) {
    FixtureTree tree;
    tree.write("proc/stat", "cpu  5000000000 0 1 2\n");
    PYRCPUTicks ticks{};
    ASSERT_EQ(cpuTicks(tree.root(), &ticks), 0);
    EXPECT_EQ(ticks.user, 5000000000u);
}

class CPUTicksBadInput : public ::testing::TestWithParam<const char*> {};

TEST_P(CPUTicksBadInput, FailsAndLeavesTheOutputUntouched) {
    FixtureTree tree;
    if (GetParam() != nullptr) tree.write("proc/stat", GetParam());
    PYRCPUTicks ticks{1, 2, 3, 4};
    EXPECT_EQ(cpuTicks(tree.root(), &ticks), -1);
    EXPECT_EQ(ticks.user, 1u);
    EXPECT_EQ(ticks.system, 2u);
    EXPECT_EQ(ticks.idle, 3u);
    EXPECT_EQ(ticks.nice, 4u);
}

INSTANTIATE_TEST_SUITE_P(Files, CPUTicksBadInput,
                         ::testing::Values(nullptr, "", "cpu  1 2 3\n", "cpu  1 2 x 4\n",
                                           "intr 1 2 3 4\n", "cpu  -1 2 3 4\n"),
                         pyrelle::testing::caseNames([](const char* file) {
                             return file == nullptr             ? std::string("missing")
                                    : std::string(file).empty() ? std::string("empty")
                                                                : std::string(file);
                         }));

struct PressureCase {
    const char* file;  // nullptr: no PSI file
    int32_t level;
};

class MemoryPressureMapping : public ::testing::TestWithParam<PressureCase> {};

TEST_P(MemoryPressureMapping, PSIAveragesGiveTheKernelLevels) {
    FixtureTree tree;
    if (GetParam().file != nullptr) tree.write("proc/pressure/memory", GetParam().file);
    EXPECT_EQ(memoryPressure(tree.root()), GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, MemoryPressureMapping,
    ::testing::Values(PressureCase{"some avg10=0.00 avg60=0.00 avg300=0.00 total=0\n"
                                   "full avg10=0.00 avg60=0.00 avg300=0.00 total=0\n",
                                   1},
                      PressureCase{"some avg10=9.99 avg60=40.00 avg300=0.00 total=5\n"
                                   "full avg10=9.99 avg60=0.00 avg300=0.00 total=0\n",
                                   1},
                      PressureCase{"some avg10=10.00 avg60=1.00 avg300=0.00 total=5\n"
                                   "full avg10=2.00 avg60=0.00 avg300=0.00 total=0\n",
                                   2},
                      PressureCase{"some avg10=35.50 avg60=1.00 avg300=0.00 total=5\n"
                                   "full avg10=10.00 avg60=0.00 avg300=0.00 total=0\n",
                                   4},
                      PressureCase{"some avg10=12.00 avg60=1.00 avg300=0.00 total=5\n", 2},
                      PressureCase{nullptr, -1}, PressureCase{"", -1},
                      PressureCase{"some avg10=abc avg60=0.00\n", -1},
                      PressureCase{"some avg60=1.00\n", -1},
                      PressureCase{"some avg10=250.00 avg60=0.00\n", -1},
                      PressureCase{"some avg10=1.00 avg60=0.00\nfull avg10=nan\n", -1},
                      PressureCase{"garbage\n", -1}),
    pyrelle::testing::caseNames([](const PressureCase& c) {
        return c.level < 0 ? std::string("unreadable") : pyrelle::testing::label("level", c.level);
    }));

// One power supply: directory name and its attribute files.
struct Supply {
    const char* name;
    const char* type;
    const char* online = nullptr;
    const char* status = nullptr;
    const char* scope = nullptr;
    const char* present = nullptr;
};

void writeSupply(const FixtureTree& tree, const Supply& supply) {
    const std::string base = std::string("sys/class/power_supply/") + supply.name + "/";
    tree.write(base + "type", std::string(supply.type) + "\n");
    if (supply.online) tree.write(base + "online", std::string(supply.online) + "\n");
    if (supply.status) tree.write(base + "status", std::string(supply.status) + "\n");
    if (supply.scope) tree.write(base + "scope", std::string(supply.scope) + "\n");
    if (supply.present) tree.write(base + "present", std::string(supply.present) + "\n");
}

struct SourceCase {
    std::vector<Supply> supplies;
    int32_t expected;
};

class PowerSourceMapping : public ::testing::TestWithParam<SourceCase> {};

TEST_P(PowerSourceMapping, ProvidingSourceIsTheOneReported) {
    FixtureTree tree;
    tree.mkdir("sys/class/power_supply");
    for (const auto& supply : GetParam().supplies) writeSupply(tree, supply);
    EXPECT_EQ(acPower(tree.root()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, PowerSourceMapping,
    ::testing::Values(
        SourceCase{{}, -1},  // a desktop without power_supply entries: unknown, not "AC"
        SourceCase{{{"AC", "Mains", "1"}}, 1},
        SourceCase{{{"AC", "Mains", "1"}, {"BAT0", "Battery", nullptr, "Full"}}, 1},
        SourceCase{{{"AC", "Mains", "0"}, {"BAT0", "Battery", nullptr, "Unknown"}}, 0},
        SourceCase{{{"BAT0", "Battery", nullptr, "Discharging"}}, 0},
        SourceCase{{{"BAT0", "Battery", nullptr, "Charging"}}, 1},
        SourceCase{{{"BAT0", "Battery", nullptr, "Unknown"}}, -1},
        SourceCase{{{"ucsi-source-psy-1", "USB", "1"}, {"BAT1", "Battery", nullptr, "Discharging"}},
                   1},
        // A wireless mouse's battery says nothing about the machine's source.
        SourceCase{{{"hidpp_battery_0", "Battery", nullptr, "Discharging", "Device"}}, -1},
        // An empty battery bay is not a battery.
        SourceCase{{{"AC", "Mains", "0"}, {"BAT0", "Battery", nullptr, "Unknown", nullptr, "0"}},
                   -1},
        SourceCase{{{"AC", "Mains", "garbage"}, {"BAT0", "Battery", nullptr, "Discharging"}}, 0}),
    pyrelle::testing::caseNames([](const SourceCase& c) {
        return std::string(c.expected == 1 ? "providing" : c.expected == 0 ? "battery" : "unknown");
    }));

// Writes one thermal zone with its temperature and trips (millidegrees).
void writeZone(const FixtureTree& tree, int zone, const char* temp,
               std::vector<std::pair<const char*, const char*>> trips) {
    const std::string base = "sys/class/thermal/thermal_zone" + std::to_string(zone) + "/";
    if (temp) tree.write(base + "temp", std::string(temp) + "\n");
    for (size_t i = 0; i < trips.size(); ++i) {
        const std::string prefix = base + "trip_point_" + std::to_string(i) + "_";
        tree.write(prefix + "type", std::string(trips[i].first) + "\n");
        tree.write(prefix + "temp", std::string(trips[i].second) + "\n");
    }
}

TEST(ThermalState, ZonesAgainstTheirTripPoints) {
    const std::vector<std::pair<const char*, const char*>> trips = {
        {"active", "60000"}, {"passive", "85000"}, {"hot", "95000"}, {"critical", "105000"}};
    const struct {
        const char* temp;
        int32_t state;
        int32_t warning;
    } cases[] = {
        {"40000", 0, 0}, {"60000", 1, 0}, {"90000", 2, 5}, {"96000", 3, 10}, {"120000", 3, 10}};
    for (const auto& c : cases) {
        FixtureTree tree;
        writeZone(tree, 0, c.temp, trips);
        EXPECT_EQ(thermalState(tree.root()), c.state) << c.temp;
        EXPECT_EQ(thermalWarning(tree.root()), c.warning) << c.temp;
    }
}

TEST(ThermalState, HottestZoneWinsAndZonesWithoutTripsDoNotCount) {
    FixtureTree tree;
    writeZone(tree, 0, "50000", {{"passive", "80000"}});
    writeZone(tree, 1, "99000", {});  // no trips: says nothing
    writeZone(tree, 2, "81000", {{"passive", "80000"}});
    writeZone(tree, 3, "garbled", {{"critical", "1000"}});    // unreadable temperature
    writeZone(tree, 4, "90000", {{"acpitz-weird", "1000"}});  // unknown trip type
    tree.write("sys/class/thermal/cooling_device0/type", "Fan\n");
    EXPECT_EQ(thermalState(tree.root()), 2);
}

TEST(ThermalState, UnknownWithoutUsableZones) {
    FixtureTree tree;
    EXPECT_EQ(thermalState(tree.root()), -1);
    EXPECT_EQ(thermalWarning(tree.root()), -1);
    writeZone(tree, 0, "50000", {});
    EXPECT_EQ(thermalState(tree.root()), -1);
}

void writeCPU(const FixtureTree& tree, int cpu, const char* scaling, const char* hardware,
              const char* online = nullptr) {
    const std::string base = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/";
    tree.mkdir(base);
    if (scaling) tree.write(base + "cpufreq/scaling_max_freq", std::string(scaling) + "\n");
    if (hardware) tree.write(base + "cpufreq/cpuinfo_max_freq", std::string(hardware) + "\n");
    if (online) tree.write(base + "online", std::string(online) + "\n");
}

TEST(SpeedLimit, LowestCeilingOverOnlineCPUs) {
    FixtureTree tree;
    writeCPU(tree, 0, "3000000", "3000000");
    writeCPU(tree, 1, "2400000", "3000000");
    writeCPU(tree, 2, "1000000", "3000000", "0");  // offline CPUs do not limit the machine
    tree.mkdir("sys/devices/system/cpu/cpufreq");
    EXPECT_EQ(speedLimit(tree.root()), 80);
    tree.write("sys/devices/system/cpu/intel_pstate/max_perf_pct", "60\n");
    EXPECT_EQ(speedLimit(tree.root()), 60);
}

TEST(SpeedLimit, UnknownWithoutCpufreq) {
    FixtureTree tree;
    writeCPU(tree, 0, nullptr, nullptr);
    writeCPU(tree, 1, "garbage", "3000000");
    writeCPU(tree, 2, "1000", "0");
    EXPECT_EQ(speedLimit(tree.root()), -1);
}

TEST(OnlineCPUs, CountsTheKernelsList) {
    EXPECT_EQ(countCPUList("0-1\n"), 2);
    EXPECT_EQ(countCPUList("0"), 1);
    EXPECT_EQ(countCPUList("0-3,8,10-11"), 7);
    for (const char* bad : {"", "\n", "3-1", "0-", "a-b", "0,,1", "0-99999999"}) {
        EXPECT_EQ(countCPUList(bad), -1) << bad;
    }
    FixtureTree tree;
    EXPECT_EQ(onlineCPUs(tree.root()), -1);
    tree.write("sys/devices/system/cpu/online", "0-5\n");
    EXPECT_EQ(onlineCPUs(tree.root()), 6);
}

TEST(PowerStatus, SchedulerLimitHasNoLinuxSource) {
    FixtureTree tree;
    tree.write("sys/devices/system/cpu/online", "0-3\n");
    writeCPU(tree, 0, "2000000", "4000000");
    const PYRPowerStatus status = powerStatus(tree.root());
    EXPECT_EQ(status.speed_limit, 50);
    EXPECT_EQ(status.scheduler_limit, -1);
    EXPECT_EQ(status.available_cpus, 4);
    EXPECT_EQ(status.thermal_warning, -1);
}

TEST(LowPowerMode, FromThePlatformProfile) {
    FixtureTree tree;
    EXPECT_EQ(lowPowerMode(tree.root()), -1);
    tree.write("sys/firmware/acpi/platform_profile", "low-power\n");
    EXPECT_EQ(lowPowerMode(tree.root()), 1);
    tree.write("sys/firmware/acpi/platform_profile", "balanced\n");
    EXPECT_EQ(lowPowerMode(tree.root()), 0);
}

TEST(OwnerAlive, EffectiveUidOfALiveProcess) {
    FixtureTree tree;
    tree.write("proc/42/status",
               "Name:\tapp\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t42\n"
               "Uid:\t501\t502\t502\t502\nGid:\t20\t20\t20\t20\n");
    tree.write("proc/43/status", "Name:\tgone\nState:\tZ (zombie)\nUid:\t501\t501\t501\t501\n");
    tree.write("proc/44/status", "Name:\tbad\nState:\tS (sleeping)\nUid:\tnope\n");
    EXPECT_EQ(ownerAlive(tree.root(), 42, 502), 1);
    EXPECT_EQ(ownerAlive(tree.root(), 42, 501), 0);  // real uid alone does not make the owner
    EXPECT_EQ(ownerAlive(tree.root(), 43, 501), 0);  // exited, not yet reaped
    EXPECT_EQ(ownerAlive(tree.root(), 44, 0), 0);
    EXPECT_EQ(ownerAlive(tree.root(), 45, 0), 0);
    EXPECT_EQ(ownerAlive(tree.root(), 0, 0), 0);
    EXPECT_EQ(ownerAlive(tree.root(), -1, 0), 0);
}

TEST(CPUBrand, ModelNameOfTheFirstCPU) {
    FixtureTree tree;
    char brand[16];
    EXPECT_EQ(cpuBrand(tree.root(), brand, sizeof brand), -1);
    tree.write("proc/cpuinfo",
               "processor\t: 0\nvendor_id\t: GenuineIntel\n"
               "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n\nprocessor\t: 1\n");
    EXPECT_EQ(cpuBrand(tree.root(), brand, sizeof brand), 15);
    EXPECT_STREQ(brand, "Intel(R) Xeon(R");
    EXPECT_EQ(cpuBrand(tree.root(), nullptr, 4), -1);
}

}  // namespace
}  // namespace pyrelle::csmc::probes
