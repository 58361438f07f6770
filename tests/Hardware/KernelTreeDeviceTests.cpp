// The kernel's SMC driver trees as the shim's device: what each tree offers, exact values, a
// file that cannot be read as a device error, writes only where the driver's control is
// documented, and how the device is chosen.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "CSMC.h"
#include "DeviceChoice.hpp"
#include "KernelTreeDevice.hpp"
#include "SMCBlock.hpp"
#include "pyrelle/SMC.hpp"
#include "support/KernelTree.hpp"

namespace {

using pyrelle::csmc::DeviceChoice;
using pyrelle::csmc::KernelTreeDevice;
using pyrelle::testing::KernelTree;
using Kind = DeviceChoice::Kind;

constexpr int32_t kIOError = KernelTreeDevice::kIOError;

// One shim connection to a tree chosen through the environment, as the helper makes it.
class TreeConnection {
public:
    TreeConnection(const std::string& driver, const KernelTree& tree) {
        ::unsetenv("PYRELLE_SMC_SOCKET");
        ::setenv("PYRELLE_SMC_DEVICE", (driver + ":" + tree.path()).c_str(), 1);
        connection_ = pyr_smc_open();
    }
    ~TreeConnection() {
        pyr_smc_close(connection_);
        ::unsetenv("PYRELLE_SMC_DEVICE");
    }
    uint32_t id() const { return connection_; }

    std::set<std::string> keys() const {
        std::set<std::string> found;
        PYRValue count{};
        if (pyr_smc_read(connection_, "#KEY", &count) != 0) return found;
        for (uint32_t i = 0; i < static_cast<uint32_t>(pyr_decode(&count)); ++i) {
            char key[5];
            if (pyr_smc_key_at_index(connection_, i, key) == 0) found.insert(key);
        }
        return found;
    }
    // The decoded value, or the shim's code as text.
    std::pair<int32_t, double> read(const char* key, uint32_t* type = nullptr) const {
        PYRValue value{};
        const int32_t code = pyr_smc_read(connection_, key, &value);
        if (type != nullptr) *type = value.type;
        return {code, code == 0 ? pyr_decode(&value) : NAN};
    }
    int32_t write(const char* key, uint32_t type, uint32_t size, double number) const {
        PYRValue value{};
        value.type = type;
        value.size = size;
        if (pyr_encode(&value, number) != 0) return -100;
        return pyr_smc_write(connection_, key, &value);
    }

private:
    uint32_t connection_ = 0;
};

struct Expected {
    const char* key;
    uint32_t type;
    double value;
};

TEST(KernelTreeDevice, ApplesmcTreeAnswersInIntelTypesWithExactValues) {
    KernelTree tree("applesmc");
    TreeConnection smc("applesmc", tree);
    ASSERT_NE(smc.id(), 0u);
    EXPECT_EQ(smc.keys(), (std::set<std::string>{"#KEY", "F0Ac", "F0Md", "F0Mn", "F0Mx", "F0Tg",
                                                 "F1Ac", "F1Md", "F1Mn", "F1Mx", "F1Tg", "FNum",
                                                 "TA0P", "TB0T", "TC0D", "TC0E", "TC0F", "TC0P",
                                                 "TC1C", "TC2C", "TG0D", "TG0P", "TH0P", "Tm0P"}));
    const Expected table[] = {
        {"FNum", PYR_TYPE_UI8, 2},      {"F0Ac", PYR_TYPE_FPE2, 1999},
        {"F0Mn", PYR_TYPE_FPE2, 1200},  {"F0Mx", PYR_TYPE_FPE2, 6156},
        {"F0Tg", PYR_TYPE_FPE2, 1200},  {"F0Md", PYR_TYPE_UI8, 0},
        {"F1Ac", PYR_TYPE_FPE2, 2003},  {"F1Mx", PYR_TYPE_FPE2, 5800},
        {"TC0P", PYR_TYPE_SP78, 48.5},  {"TA0P", PYR_TYPE_SP78, 31.25},
        {"TC0D", PYR_TYPE_SP78, 52.75}, {"Tm0P", PYR_TYPE_SP78, 41.5},
    };
    for (const auto& row : table) {
        uint32_t type = 0;
        const auto [code, value] = smc.read(row.key, &type);
        EXPECT_EQ(code, 0) << row.key;
        EXPECT_EQ(type, row.type) << row.key;
        EXPECT_EQ(value, row.value) << row.key;  // exact: no rounding on the way
    }
    char key[5];
    EXPECT_EQ(pyr_smc_key_at_index(smc.id(), 24, key), 0xB8);
    EXPECT_EQ(smc.read("TC0H").first, 0x84);  // a key the tree does not offer
}

TEST(KernelTreeDevice, DamagedFilesAreDeviceErrorsNeverNumbers) {
    KernelTree tree("applesmc-damaged");
    TreeConnection smc("applesmc", tree);
    ASSERT_NE(smc.id(), 0u);
    for (const char* key : {"TC0D", "TC0E", "TC0F", "TC0P", "F1Mx"}) {
        // garbage, an empty file, a dangling link, a link loop, trailing garbage
        const auto [code, value] = smc.read(key);
        EXPECT_EQ(code, kIOError) << key;
        EXPECT_TRUE(std::isnan(value)) << key;
    }
    EXPECT_EQ(smc.keys().count("TC1C"), 0u) << "a label that is no SMC key is not offered";
    EXPECT_EQ(smc.read("TH0P").second, 44.0);  // a number without its new line still counts

    pyrelle::SMC typed;
    const auto fans = typed.fans();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_TRUE(fans[0].controllable);
    EXPECT_FALSE(fans[1].maximum.has_value());
    EXPECT_FALSE(fans[1].controllable) << "a fan without a readable maximum is not driven";
}

TEST(KernelTreeDevice, WritesReachOnlyTheDocumentedControlFiles) {
    KernelTree tree("applesmc");
    TreeConnection smc("applesmc", tree);
    EXPECT_EQ(smc.write("F0Md", PYR_TYPE_UI8, 1, 1), 0);
    EXPECT_EQ(tree.read("fan1_manual"), "1");
    EXPECT_EQ(smc.write("F0Tg", PYR_TYPE_FPE2, 2, 3000.25), 0);
    EXPECT_EQ(tree.read("fan1_output"), "3000");  // the driver takes whole rpm
    EXPECT_EQ(smc.read("F0Tg").second, 3000);

    // Refused by the shim's allow-list, or by the device, and the files are left alone.
    EXPECT_EQ(smc.write("F0Mn", PYR_TYPE_FPE2, 2, 500), PYR_SMC_NOT_ALLOWED);
    EXPECT_EQ(smc.write("F1Md", PYR_TYPE_UI8, 1, 3), 0x89);
    EXPECT_EQ(smc.write("F1Tg", PYR_TYPE_FLT, 4, 3000), 0x87);
    EXPECT_EQ(smc.write("FS! ", PYR_TYPE_UI16, 2, 3), 0x84);
    EXPECT_EQ(tree.read("fan1_min"), "1200");
    EXPECT_EQ(tree.read("fan2_manual"), "0");
    EXPECT_EQ(tree.read("fan2_output"), "1300");

    auto device = KernelTreeDevice::open(
        pyrelle::csmc::KernelDriver::applesmc,
        ::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), false);
    ASSERT_TRUE(device);
    pyrelle::csmc::SMCBlock write;
    write.key = pyrelle::csmc::fourCC("TC0P");
    write.command = 6;
    write.dataSize = 2;
    const auto wire = write.encode();
    std::vector<uint8_t> reply;
    ASSERT_EQ(device->exchange(pyrelle::csmc::kSelectorUserClient, wire, reply), 0);
    EXPECT_EQ(reply[40], 0x86) << "a sensor is never written, even past the shim";
    EXPECT_EQ(tree.read("temp6_input"), "48500");
}

// The hwmon layout of applesmc: fanN_target for the target, pwmN_enable for the mode
// (1 manual, 2 and above automatic; 0, full speed without control, is no mode of the SMC).
TEST(KernelTreeDevice, HwmonLayoutDrivesTargetAndPwmEnable) {
    KernelTree tree("applesmc");
    namespace fs = std::filesystem;
    for (const char* fan : {"fan1", "fan2"}) {
        const std::string n = std::string(fan).substr(3);
        fs::rename(tree.path() + "/" + fan + "_output", tree.path() + "/" + fan + "_target");
        fs::remove(tree.path() + "/" + fan + "_manual");
        std::ofstream(tree.path() + "/pwm" + n + "_enable") << "2\n";
    }
    TreeConnection smc("applesmc", tree);
    ASSERT_NE(smc.id(), 0u);
    EXPECT_EQ(smc.read("F0Md").second, 0);
    EXPECT_EQ(smc.write("F0Md", PYR_TYPE_UI8, 1, 1), 0);
    EXPECT_EQ(tree.read("pwm1_enable"), "1");
    EXPECT_EQ(smc.read("F0Md").second, 1);
    EXPECT_EQ(smc.write("F0Tg", PYR_TYPE_FPE2, 2, 2500), 0);
    EXPECT_EQ(tree.read("fan1_target"), "2500");
    EXPECT_EQ(smc.write("F0Md", PYR_TYPE_UI8, 1, 0), 0);
    EXPECT_EQ(tree.read("pwm1_enable"), "2");
    tree.write("pwm2_enable", "0");
    EXPECT_EQ(smc.read("F1Md").first, kIOError);
}

TEST(KernelTreeDevice, RootOnlyTreeRefusesFilesOthersCouldHavePlanted) {
    KernelTree tree("applesmc");
    ASSERT_EQ(::chown((tree.path() + "/fan1_output").c_str(), 1000, 1000), 0);
    ASSERT_EQ(::chmod((tree.path() + "/fan1_manual").c_str(), 0666), 0);
    auto device = KernelTreeDevice::open(
        pyrelle::csmc::KernelDriver::applesmc,
        ::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), true);
    ASSERT_TRUE(device);
    pyrelle::csmc::installDevice(device);
    const uint32_t connection = pyr_smc_open();
    PYRValue value{};
    EXPECT_EQ(pyr_smc_read(connection, "F0Tg", &value), kIOError);
    EXPECT_EQ(pyr_smc_read(connection, "F0Md", &value), kIOError);
    EXPECT_EQ(pyr_smc_read(connection, "F1Tg", &value), 0);
    value = PYRValue{1, PYR_TYPE_UI8, {1}};
    EXPECT_EQ(pyr_smc_write(connection, "F0Md", &value), kIOError);
    EXPECT_EQ(tree.read("fan1_manual"), "0");
    pyr_smc_close(connection);
    pyrelle::csmc::installDevice(nullptr);
}

struct ChoiceCase {
    const char* device;
    const char* socket;
    DeviceChoice expected;
};

TEST(DeviceChoice, VariablesChooseExactlyOneDevice) {
    const ChoiceCase cases[] = {
        {nullptr, nullptr, {Kind::none, "", false}},
        {"", "", {Kind::none, "", false}},
        {nullptr, "/run/smc.sock", {Kind::socket, "/run/smc.sock", true}},
        {"socket:/a/b", "/run/smc.sock", {Kind::socket, "/a/b", true}},
        {"applesmc:/sys/devices/platform/applesmc.768",
         nullptr,
         {Kind::applesmc, "/sys/devices/platform/applesmc.768", true}},
        {"macsmc:/sys/class/hwmon/hwmon2",
         nullptr,
         {Kind::macsmc, "/sys/class/hwmon/hwmon2", true}},
        // A choice that names nothing usable is no device, never a fall-back elsewhere.
        {"applesmc:", "/run/smc.sock", {Kind::none, "", true}},
        {"hwmon:/sys/class/hwmon/hwmon0", nullptr, {Kind::none, "", true}},
        {"/run/smc.sock", nullptr, {Kind::none, "", true}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pyrelle::csmc::parseDeviceChoice(c.device, c.socket), c.expected)
            << (c.device ? c.device : "(unset)") << " / " << (c.socket ? c.socket : "(unset)");
    }
}

TEST(DeviceChoice, ProbingFindsApplesmcFirstThenMacsmcByName) {
    namespace fs = std::filesystem;
    KernelTree sys("applesmc");  // a scratch directory standing in for /sys
    const std::string root = sys.path() + "-sys";
    fs::create_directories(root + "/class/hwmon/hwmon0");
    std::ofstream(root + "/class/hwmon/hwmon0/name") << "coretemp\n";
    EXPECT_EQ(pyrelle::csmc::probeStandardTrees(root).kind, Kind::none);

    fs::copy(std::string(PYRELLE_SOURCE_DIR) + "/tests/Hardware/data/kernel-trees/macsmc",
             root + "/class/hwmon/hwmon3", fs::copy_options::recursive);
    EXPECT_EQ(pyrelle::csmc::probeStandardTrees(root),
              (DeviceChoice{Kind::macsmc, root + "/class/hwmon/hwmon3", false}));

    fs::create_directories(root + "/devices/platform");
    fs::copy(sys.path(), root + "/devices/platform/applesmc.768", fs::copy_options::recursive);
    EXPECT_EQ(pyrelle::csmc::probeStandardTrees(root),
              (DeviceChoice{Kind::applesmc, root + "/devices/platform/applesmc.768", false}));
    fs::remove_all(root);
}

}  // namespace
