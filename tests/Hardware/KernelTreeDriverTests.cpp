// The kernel-tree device against the drivers as they behave: applesmc (older Intel Macs and
// T2 Macs) emulated with the driver's own show/store rules, macsmc-hwmon trees laid out as a
// MacBook Pro's and a fanless MacBook Air's, where each driver is found, transient faults,
// and what a steady sample costs in attribute operations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CSMC.h"
#include "DeviceChoice.hpp"
#include "KernelTreeDevice.hpp"
#include "SMCBlock.hpp"
#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/SMC.hpp"
#include "pyrelle/SensorCatalog.hpp"
#include "support/DriverEmulator.hpp"
#include "support/KernelTree.hpp"

namespace {

using pyrelle::csmc::KernelDriver;
using pyrelle::csmc::KernelTreeDevice;
using pyrelle::testing::DriverEmulator;
using pyrelle::testing::KernelTree;
using Key = DriverEmulator::Key;
using std::chrono::milliseconds;

constexpr int32_t kIOError = KernelTreeDevice::kIOError;

// The SMC of an Intel Mac (t2: a T2 Mac, whose fan keys are floats and whose fans have a
// mode byte of their own) with power, voltage and current keys beyond its temperatures.
std::vector<Key> intelKeys(bool t2) {
    auto speed = [t2](const std::string& name, double rpm) {
        return t2 ? DriverEmulator::flt(name, rpm) : DriverEmulator::fpe2(name, rpm);
    };
    std::vector<Key> keys = {
        speed("F0Ac", 2000),
        speed("F0Mn", 1200),
        speed("F0Mx", 6000),
        speed("F0Tg", 1200),
        speed("F1Ac", 2100),
        speed("F1Mn", 1300),
        speed("F1Mx", 5800),
        speed("F1Tg", 1300),
        DriverEmulator::ui("FNum", "ui8 ", 2, 1),
        DriverEmulator::fixed("PC0C", "sp96", 8.5, 6),
        DriverEmulator::fixed("PSTR", "sp96", 23.25, 6),
        DriverEmulator::fixed("VC0C", "fp2e", 1.0625, 14),
        DriverEmulator::fixed("IC0R", "fp88", 2.5, 8),
        DriverEmulator::sp78("TA0P", -3.75),
        DriverEmulator::sp78("TB0T", 31.25),
        DriverEmulator::sp78("TC0P", 48.5),
        DriverEmulator::ui("MSLD", "ui8 ", 0, 1),
    };
    if (t2) {
        keys.push_back(DriverEmulator::ui("F0Md", "ui8 ", 0, 1));
        keys.push_back(DriverEmulator::ui("F1Md", "ui8 ", 0, 1));
    } else {
        keys.push_back(DriverEmulator::ui("FS! ", "ui16", 0, 2));
    }
    return keys;
}

// An emulated applesmc as the shim's device, with the retry pauses recorded instead of slept.
struct EmulatedMac {
    std::shared_ptr<DriverEmulator> driver;
    std::shared_ptr<std::vector<milliseconds>> pauses =
        std::make_shared<std::vector<milliseconds>>();
    std::shared_ptr<KernelTreeDevice> device;
    uint32_t connection = 0;

    explicit EmulatedMac(bool t2) : driver(std::make_shared<DriverEmulator>(intelKeys(t2))) {
        auto recorded = pauses;
        device =
            KernelTreeDevice::open(KernelDriver::applesmc, DriverEmulator::seam(driver),
                                   [recorded](milliseconds pause) { recorded->push_back(pause); });
        pyrelle::csmc::installDevice(device);
        connection = pyr_smc_open();
    }
    ~EmulatedMac() {
        pyr_smc_close(connection);
        pyrelle::csmc::installDevice(nullptr);
    }
    std::pair<int32_t, PYRValue> read(const char* key) const {
        PYRValue value{};
        const int32_t code = pyr_smc_read(connection, key, &value);
        return {code, value};
    }
    // The key's value as read, re-encoded as `number` where its type can be.
    PYRValue encoded(const char* key, double number) const {
        auto [code, value] = read(key);
        EXPECT_EQ(code, 0) << key;
        pyr_encode(&value, number);
        return value;
    }
    int32_t write(const char* key, double number) const {
        const PYRValue value = encoded(key, number);
        return pyr_smc_write(connection, key, &value);
    }
};

std::string typeText(uint32_t type) {
    return pyrelle::csmc::fourCCText(type);
}

struct ReadCase {
    const char* key;
    bool t2;
    const char* type;
    double value;
};

class DriverReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(DriverReads, EveryKeyOfTheTableAnswersInTheMachinesOwnType) {
    const auto& c = GetParam();
    EmulatedMac mac(c.t2);
    ASSERT_TRUE(mac.device);
    const auto [code, value] = mac.read(c.key);
    ASSERT_EQ(code, 0) << c.key;
    EXPECT_EQ(typeText(value.type), c.type);
    EXPECT_EQ(pyr_decode(&value), c.value);  // exact: whole rpm, quarter degrees, raw bytes
}

INSTANTIATE_TEST_SUITE_P(
    Applesmc, DriverReads,
    ::testing::Values(ReadCase{"F0Ac", false, "fpe2", 2000}, ReadCase{"F0Ac", true, "flt ", 2000},
                      ReadCase{"F1Tg", true, "flt ", 1300}, ReadCase{"F0Md", false, "ui8 ", 0},
                      ReadCase{"F1Md", true, "ui8 ", 0}, ReadCase{"FS! ", false, "ui16", 0},
                      ReadCase{"TA0P", false, "sp78", -3.75}, ReadCase{"TC0P", true, "sp78", 48.5},
                      ReadCase{"PC0C", false, "sp96", 8.5}, ReadCase{"PSTR", true, "sp96", 23.25},
                      ReadCase{"VC0C", false, "fp2e", 1.0625}, ReadCase{"IC0R", false, "fp88", 2.5},
                      ReadCase{"#KEY", false, "ui32", 21}, ReadCase{"#KEY", true, "ui32", 20}),
    [](const auto& info) {
        std::string name = std::string(info.param.key) + (info.param.t2 ? "T2" : "Intel");
        for (auto& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

struct WriteCase {
    const char* name;
    bool t2;
    const char* key;
    double value;
    int32_t result;
    const char* changedKey;  // the SMC key whose bytes must equal `expected` afterwards
    std::vector<uint8_t> expected;
};

class DriverWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(DriverWrites, OnlyTheFanFilesTakeValuesTheDriverAccepts) {
    const auto& c = GetParam();
    EmulatedMac mac(c.t2);
    EXPECT_EQ(mac.write(c.key, c.value), c.result);
    EXPECT_EQ(mac.driver->bytes(c.changedKey), c.expected);
}

std::vector<uint8_t> bytesOf(const Key& key) {
    return key.bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Applesmc, DriverWrites,
    ::testing::Values(
        WriteCase{"TargetIntel", false, "F0Tg", 3000, 0, "F0Tg",
                  bytesOf(DriverEmulator::fpe2("F0Tg", 3000))},
        WriteCase{"TargetT2", true, "F1Tg", 4321, 0, "F1Tg",
                  bytesOf(DriverEmulator::flt("F1Tg", 4321))},
        // applesmc refuses 0x4000 rpm and more; the device refuses it before the driver.
        WriteCase{"TargetAtTheDriversLimit", true, "F0Tg", 16384, 0x89, "F0Tg",
                  bytesOf(DriverEmulator::flt("F0Tg", 1200))},
        WriteCase{"ManualIntelSetsTheFansBit", false, "F1Md", 1, 0, "FS! ", {0x00, 0x02}},
        WriteCase{"ManualT2SetsTheModeByte", true, "F1Md", 1, 0, "F1Md", {1}},
        // The mode is written as 0 or 1 only, whatever byte the SMC shows.
        WriteCase{"OtherModeBytesRefused", true, "F0Md", 3, 0x89, "F0Md", {0}},
        WriteCase{"RawKeysAreReadOnly", false, "PC0C", 9, PYR_SMC_NOT_ALLOWED, "PC0C",
                  bytesOf(DriverEmulator::fixed("PC0C", "sp96", 8.5, 6))},
        WriteCase{"MinimumIsNotDriven", false, "F0Mn", 500, PYR_SMC_NOT_ALLOWED, "F0Mn",
                  bytesOf(DriverEmulator::fpe2("F0Mn", 1200))}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
    const char* name;
    const char* key;  // read, or (`write`) written with 2500 rpm
    const char* file;
    int error;
    int times;  // negative: for good
    bool write;
    int32_t result;
    std::vector<milliseconds> pauses;
};

class TransientFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TransientFaults, OnlyEIOIsTriedAgainAndWithinAboutATenthOfASecond) {
    const auto& c = GetParam();
    EmulatedMac mac(false);
    const PYRValue target = mac.encoded("F0Tg", 2500);
    mac.driver->fail(c.file, c.error, c.times);
    const int32_t result =
        c.write ? pyr_smc_write(mac.connection, c.key, &target) : mac.read(c.key).first;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(*mac.pauses, c.pauses);
    milliseconds total{0};
    for (const auto pause : *mac.pauses) total += pause;
    EXPECT_LE(total, milliseconds(100));
}

const std::vector<milliseconds> kAllPauses = {milliseconds(10), milliseconds(30), milliseconds(60)};

INSTANTIATE_TEST_SUITE_P(
    Attribute, TransientFaults,
    ::testing::Values(
        FaultCase{"OneEIO", "TC0P", "temp3_input", EIO, 1, false, 0, {milliseconds(10)}},
        FaultCase{"ThreeEIOs", "TC0P", "temp3_input", EIO, 3, false, 0, kAllPauses},
        FaultCase{"LastingEIO", "TC0P", "temp3_input", EIO, -1, false, kIOError, kAllPauses},
        FaultCase{"EIOOnAStore",
                  "F0Tg",
                  "fan1_output",
                  EIO,
                  2,
                  true,
                  0,
                  {milliseconds(10), milliseconds(30)}},
        FaultCase{"EACCESAtOpen", "TC0P", "temp3_input", EACCES, -1, false, kIOError, {}},
        FaultCase{"ENOENT", "TC0P", "temp3_input", ENOENT, 1, false, kIOError, {}},
        FaultCase{"EINVALOnAStore", "F0Tg", "fan1_output", EINVAL, 1, true, 0x89, {}},
        FaultCase{"RawKeyEIO", "PC0C", "key_at_index_data", EIO, 1, false, 0, {milliseconds(10)}},
        FaultCase{"RawKeyLastingEIO", "PSTR", "key_at_index", EIO, -1, false, kIOError,
                  kAllPauses}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RawKeyInterface, AnIndexMovedByAnotherProgramIsNoticedAndReadAgain) {
    EmulatedMac mac(false);
    mac.driver->clearOperations();
    mac.driver->interfere(0, 2);  // twice, someone else points the index elsewhere
    const auto [code, value] = mac.read("PC0C");
    ASSERT_EQ(code, 0);
    EXPECT_EQ(pyr_decode(&value), 8.5);
    EXPECT_EQ(mac.driver->operations()["key_at_index_data"], 3);
    mac.driver->interfere(0, 100);  // for good: an error, never another key's bytes
    EXPECT_EQ(mac.read("PC0C").first, kIOError);
}

TEST(RawKeyInterface, ASteadySampleReadsEachValueOnceAndNeverAsksForKeyInfo) {
    EmulatedMac mac(false);
    pyrelle::HardwareSampler sampler;
    const auto first = sampler.sample();  // discovery
    std::set<std::string> keys;
    for (const auto& sensor : sampler.knownSensors()) keys.insert(sensor.key);
    // Beyond the tempN files: power, voltage and current keys of the whole table.
    for (const char* key : {"TC0P", "TB0T", "PC0C", "PSTR", "VC0C", "IC0R"})
        EXPECT_EQ(keys.count(key), 1u) << key;

    mac.driver->clearOperations();
    const auto steady = sampler.sample();
    const auto operations = mac.driver->operations();
    EXPECT_EQ(operations.count("key_at_index_type"), 0u);
    EXPECT_EQ(operations.count("key_at_index_data_length"), 0u);
    // PC0C PSTR VC0C IC0R, and "FS! " for the fans' modes: one data read each.
    EXPECT_EQ(operations.at("key_at_index_data"), 5);
    for (const char* file : {"temp2_input", "temp3_input"})
        EXPECT_EQ(operations.at(file), 1) << file;
    ASSERT_TRUE(steady.additionalSensors);
    std::map<std::string, double> values;
    for (const auto& reading : *steady.additionalSensors)
        if (reading.value) values[reading.key] = *reading.value;
    EXPECT_EQ(values["PSTR"], 23.25);
    EXPECT_EQ(values["VC0C"], 1.0625);
}

// A lease over the emulated driver, its speeds following the targets: a transient EIO while
// it runs is absorbed; a lasting one ends it with the fans handed back and the reason given.
struct LeaseCase {
    const char* name;
    int times;
    bool fails;
};

class LeaseFaults : public ::testing::TestWithParam<LeaseCase> {};

TEST_P(LeaseFaults, TransientEIOIsAbsorbedALastingOneEndsTheLeaseHandedBack) {
    const auto& c = GetParam();
    EmulatedMac mac(false);
    double clock = 0;
    pyrelle::SMC smc(pyrelle::SMC::Timing{[&] { return clock; }, [&](double s) { clock += s; }});
    int waits = 0;
    std::string error;
    try {
        pyrelle::CoolingLease::run(
            smc, 5, [&] { return clock; }, [] { return false; },
            [&] {
                if (++waits == 2) mac.driver->fail("fan1_output", EIO, c.times);
                clock += 1;
            });
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    EXPECT_EQ(error, c.fails ? "检测到风扇状态改变或无法读取，散热会话已停止" : "");
    EXPECT_EQ(waits, c.fails ? 2 : 5);  // the lease went on to its end, or stopped at once
    EXPECT_EQ(mac.driver->bytes("FS! "), (std::vector<uint8_t>{0, 0})) << "fans handed back";
}

INSTANTIATE_TEST_SUITE_P(Lease, LeaseFaults,
                         ::testing::Values(LeaseCase{"OneEIO", 1, false},
                                           LeaseCase{"LastingEIO", -1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- macsmc-hwmon ------------------------------------------------------------------------

std::map<std::string, double> macsmcValues(const KernelTree& tree) {
    auto device = KernelTreeDevice::open(
        KernelDriver::macsmc, DriverEmulator::seam(DriverEmulator::fromFixture(tree.path())));
    std::map<std::string, double> values;
    if (!device) return values;
    pyrelle::csmc::installDevice(device);
    const uint32_t connection = pyr_smc_open();
    PYRValue count{};
    pyr_smc_read(connection, "#KEY", &count);
    for (uint32_t i = 0; i < static_cast<uint32_t>(pyr_decode(&count)); ++i) {
        char key[5];
        PYRValue value{};
        if (pyr_smc_key_at_index(connection, i, key) == 0 && key[0] != '#' &&
            pyr_smc_read(connection, key, &value) == 0)
            values[key] = std::round(pyr_decode(&value) * 1000) / 1000;
    }
    pyr_smc_close(connection);
    pyrelle::csmc::installDevice(nullptr);
    return values;
}

const std::map<std::string, double> kMacBookPro = {
    {"F0Ac", 2317}, {"F0Mn", 2317}, {"F0Mx", 7826},  {"F0Tg", 2317},   {"F1Ac", 2400},
    {"F1Mn", 2317}, {"F1Mx", 7826}, {"F1Tg", 2400},  {"FNum", 2},      {"ID0R", 0.613},
    {"PDTR", 30.5}, {"PHPC", 7.25}, {"PMVR", 4.125}, {"PSTR", 12.346}, {"SBAV", 12.512},
    {"TB0T", 31},   {"TCHP", 35.5}, {"TH0x", 37},    {"TW0P", 36.75},  {"VD0R", 20.123}};

namespace fs = std::filesystem;

struct LayoutCase {
    const char* name;
    std::function<void(const std::string& tree)> reshape;
};

class MacsmcLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(MacsmcLayouts, EveryChannelIsReadUnderItsSMCKey) {
    KernelTree tree("macsmc");
    GetParam().reshape(tree.path());
    EXPECT_EQ(macsmcValues(tree), kMacBookPro);
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Tree, MacsmcLayouts,
    ::testing::Values(LayoutCase{"DeviceTreeNodes", [](const std::string&) {}},
                      // Older kernels: one group node per kind, holding the key nodes.
                      LayoutCase{"GroupedDeviceTreeNodes",
                                 [](const std::string& tree) {
                                     const std::string root = tree + "/device/of_node";
                                     const std::map<std::string, std::string> groups = {
                                         {"temperature-", "apple,temp-keys"},
                                         {"voltage-", "apple,volt-keys"},
                                         {"current-", "apple,current-keys"},
                                         {"power-", "apple,power-keys"},
                                         {"fan-", "apple,fan-keys"}};
                                     for (const auto& item :
                                          std::vector<fs::path>(fs::directory_iterator(root),
                                                                fs::directory_iterator())) {
                                         for (const auto& [prefix, group] : groups) {
                                             const std::string name = item.filename().string();
                                             if (name.rfind(prefix, 0) != 0) continue;
                                             fs::create_directories(root + "/" + group);
                                             fs::rename(item, root + "/" + group + "/" + name);
                                         }
                                     }
                                 }},
                      // A tree whose device-tree nodes cannot be read: the shipped pairs.
                      LayoutCase{"ShippedLabels",
                                 [](const std::string& tree) { fs::remove_all(tree + "/device"); }},
                      // Labels that are keys themselves are taken as they are.
                      LayoutCase{"KeyLabels",
                                 [](const std::string& tree) {
                                     fs::remove_all(tree + "/device");
                                     const std::map<std::string, std::string> keys = {
                                         {"temp1", "TH0x"},  {"temp2", "TB0T"},  {"temp3", "TCHP"},
                                         {"temp4", "TW0P"},  {"power1", "PSTR"}, {"power2", "PDTR"},
                                         {"power3", "PMVR"}, {"power4", "PHPC"}, {"curr1", "ID0R"},
                                         {"fan1", "F0Ac"},   {"fan2", "F1Ac"}};
                                     for (const auto& [channel, key] : keys)
                                         writeFile(tree + "/" + channel + "_label", key + "\n");
                                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Macsmc, AFanlessAirIsAnSMCWithSensorsAndNoFans) {
    KernelTree tree("macsmc-air");
    EXPECT_EQ(macsmcValues(tree), (std::map<std::string, double>{{"FNum", 0},
                                                                 {"PHPC", 7.25},
                                                                 {"SBAV", 12.512},
                                                                 {"TB0T", 31},
                                                                 {"TCHP", 35.5},
                                                                 {"TW0P", 36.75},
                                                                 {"VD0R", 20.123}}));
}

TEST(Macsmc, FansStayReadOnlyWithoutAReadableMode) {
    KernelTree tree("macsmc");
    auto device = KernelTreeDevice::open(
        KernelDriver::macsmc, DriverEmulator::seam(DriverEmulator::fromFixture(tree.path())));
    pyrelle::csmc::installDevice(device);
    pyrelle::SMC smc;
    for (const auto& fan : smc.fans()) {
        EXPECT_FALSE(fan.controllable) << fan.id;
        EXPECT_FALSE(fan.manual.has_value()) << fan.id;
    }
    PYRValue value{4, PYR_TYPE_FLT, {}};
    pyr_encode(&value, 0);  // what would hand a fan back to the SMC through fanX_target
    EXPECT_EQ(pyr_smc_write(smc.connection(), "F0Tg", &value), 0x86);
    pyrelle::csmc::installDevice(nullptr);
}

// ---- where the drivers are found ---------------------------------------------------------

struct ProbeCase {
    const char* name;
    const char* fixture;
    const char* device;       // where the tree sits below the scratch /sys
    const char* hwmonDevice;  // hwmon2/device points here (nullptr: hwmon2 is the tree itself)
    const char* driver;       // the device's driver link (nullptr: none)
    pyrelle::csmc::DeviceChoice::Kind kind;
};

class Probing : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probing, EachDriverIsFoundWhereverItLives) {
    const auto& c = GetParam();
    KernelTree scratch(c.fixture);
    const std::string sys = scratch.path() + "-sys";
    const std::string tree = sys + "/" + c.device;
    fs::create_directories(fs::path(tree).parent_path());
    fs::copy(scratch.path(), tree, fs::copy_options::recursive);
    fs::create_directories(sys + "/class/hwmon/hwmon0");
    writeFile(sys + "/class/hwmon/hwmon0/name", "coretemp\n");
    if (c.hwmonDevice != nullptr) {
        fs::create_directories(sys + "/class/hwmon/hwmon2");
        fs::create_directory_symlink(tree, sys + "/class/hwmon/hwmon2/device");
        if (c.driver != nullptr) {
            fs::remove(tree + "/name");
            fs::create_directories(sys + "/bus/drivers/" + c.driver);
            fs::create_directory_symlink(sys + "/bus/drivers/" + c.driver, tree + "/driver");
        }
    } else {
        fs::create_directories(sys + "/class/hwmon");
        fs::create_directory_symlink(tree, sys + "/class/hwmon/hwmon2");
    }
    const auto choice = pyrelle::csmc::probeStandardTrees(sys);
    EXPECT_EQ(choice.kind, c.kind);
    EXPECT_EQ(fs::canonical(choice.path), fs::canonical(tree));
    EXPECT_TRUE(pyrelle::csmc::openChosenDevice(choice, milliseconds(100), false));
    fs::remove_all(sys);
}

using Kind = pyrelle::csmc::DeviceChoice::Kind;
INSTANTIATE_TEST_SUITE_P(
    Sys, Probing,
    ::testing::Values(ProbeCase{"T2AcpiDevice", "applesmc-t2",
                                "devices/LNXSYSTM:00/LNXSYBUS:00/APP0001:00", "", nullptr,
                                Kind::applesmc},
                      ProbeCase{"T2ByItsDriverLink", "applesmc-t2",
                                "devices/LNXSYSTM:00/APP0001:00", "", "applesmc", Kind::applesmc},
                      ProbeCase{"PlatformDevice", "applesmc", "devices/platform/applesmc.768", "",
                                nullptr, Kind::applesmc},
                      ProbeCase{"HwmonOnlyApplesmc", "applesmc", "devices/virtual/hwmon/hwmon2",
                                nullptr, nullptr, Kind::applesmc},
                      ProbeCase{"Macsmc", "macsmc",
                                "devices/platform/soc/smc/macsmc-hwmon/hwmon/hwmon2", nullptr,
                                nullptr, Kind::macsmc}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
