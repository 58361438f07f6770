// The helper on a real Mac running Linux, end to end: `fan-probe`, `probe`, the lease commands
// and a `serve` curve against the kernel's SMC driver trees (fixture copies, with the driver's
// fans emulated where speeds must follow targets), and the rule that a helper started by
// another user opens only a device that user could open and did not make.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "pyrelle/Base64.hpp"
#include "pyrelle/HardwareSensorReading.hpp"
#include "pyrelle/SensorCatalog.hpp"
#include "support/Eventually.hpp"
#include "support/KernelTree.hpp"
#include "support/LeaseScenario.hpp"

namespace {

using namespace pyrelle::testing;
using Json = nlohmann::json;

constexpr const char* kCoolingDone = "散热会话结束，已确认风扇恢复系统自动。\n";
constexpr const char* kCoolingChanged = "检测到风扇状态改变或无法读取，散热会话已停止";
constexpr const char* kNotControllable =
    "请先恢复系统自动风扇并退出其他风扇控制软件；也可能是此机型没有可写的风扇接口。";
constexpr const char* kCurveStopped = "风扇控制被改变或无法读取，已停止曲线";

ProcessOptions treeOptions(const std::string& driver, const KernelTree& tree) {
    ProcessOptions options;
    options.environment["PYRELLE_SMC_DEVICE"] = driver + ":" + tree.path();
    options.unset = {"PYRELLE_SMC_SOCKET"};
    options.timeoutSeconds = 60;
    return options;
}

Json runJSON(const std::vector<std::string>& argv, const ProcessOptions& options) {
    const auto r = runProcess(argv, options);
    EXPECT_EQ(r.status, 0) << r.err;
    return Json::parse(r.out, nullptr, false);
}

struct Applesmc : ::testing::Test {
    KernelTree tree{"applesmc"};
    OwnerProcess owner;
    Token token;

    std::vector<std::string> lease(const std::string& command) const {
        return {helperPath(), command, owner.pidText(), std::to_string(kOwnerUid), token.text()};
    }
    bool bothManualAtMaximum() const {
        return tree.read("fan1_manual") == "1" && tree.read("fan2_manual") == "1" &&
               tree.read("fan1_output") == tree.read("fan1_max") &&
               tree.read("fan2_output") == tree.read("fan2_max");
    }
    void expectHandedBack() const {
        EXPECT_EQ(tree.read("fan1_manual"), "0");
        EXPECT_EQ(tree.read("fan2_manual"), "0");
    }
};

TEST_F(Applesmc, FanProbeAndProbeReadTheTree) {
    const auto options = treeOptions("applesmc", tree);
    EXPECT_EQ(runJSON({helperPath(), "fan-probe"}, options), (Json{{"FNum", 2},
                                                                   {"F0Ac", 1999},
                                                                   {"F0Mn", 1200},
                                                                   {"F0Mx", 6156},
                                                                   {"F0Md", 0},
                                                                   {"F0Tg", 1200}}));

    const auto snapshot = runJSON({helperPath(), "probe"}, options);
    EXPECT_EQ(snapshot.value("smcAvailable", false), true);
    ASSERT_EQ(snapshot.at("fans").size(), 2u) << snapshot.dump();
    EXPECT_EQ(snapshot.at("fans")[0].at("rpm"), 1999);
    EXPECT_EQ(snapshot.at("fans")[1].at("maximum"), 5800);
    EXPECT_EQ(snapshot.at("fans")[1].at("controllable"), true);
    std::map<std::string, std::pair<std::string, double>> sensors;
    for (const auto& s : snapshot.at("sensors")) {
        sensors[s.at("key")] = {s.at("label"), s.at("celsius")};
    }
    EXPECT_EQ(sensors.size(), 12u) << snapshot.at("sensors").dump();
    EXPECT_EQ(sensors["TC0P"], std::make_pair(std::string("CPU proximity"), 48.5));
    EXPECT_EQ(sensors["TC0D"], std::make_pair(std::string("CPU diode"), 52.75));
    EXPECT_EQ(sensors["TG0P"], std::make_pair(std::string("GPU proximity"), 44.0));
    EXPECT_EQ(sensors["TH0P"], std::make_pair(std::string("存储 · TH0P"), 38.0));
}

TEST_F(Applesmc, TestFansRunsAtMaximumThenHandsBack) {
    BackgroundProcess helper(lease("test-fans"), treeOptions("applesmc", tree));
    EXPECT_TRUE(eventually(15, [&] { return bothManualAtMaximum(); }))
        << tree.read("fan1_manual") << " " << tree.read("fan1_output");
    const auto r = helper.wait(20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kCoolingDone);
    expectHandedBack();
}

struct BrokenFile {
    const char* name;
    bool curve;           // `profile custom`, else `cooling`
    const char* file;     // the attribute that becomes unreadable once the fans are taken
    const char* message;  // the reason on standard error
};

class BrokenFiles : public Applesmc, public ::testing::WithParamInterface<BrokenFile> {};

TEST_P(BrokenFiles, EndTheLeaseWithTheFansHandedBackAndTheReasonReported) {
    const auto& c = GetParam();
    FanDriverEmulation driver(tree);
    auto argv = lease(c.curve ? "profile" : "cooling");
    if (c.curve) {
        argv.insert(argv.begin() + 2, "custom");
        argv.push_back(pyrelle::Base64::encode(
            R"({"points":[{"temperature":30,"percent":20},{"temperature":85,"percent":100}],)"
            R"("sensor":"CPU"})"));
    }
    BackgroundProcess helper(argv, treeOptions("applesmc", tree));
    ASSERT_TRUE(eventually(15, [&] {
        return tree.read("fan1_manual") == "1" && tree.read("fan2_manual") == "1" &&
               tree.read("fan1_input") == tree.read("fan1_output") &&
               tree.read("fan1_output") != tree.read("fan1_min");
    })) << "the helper never took the fans, or the emulated driver did not follow";
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    tree.breakFile(c.file);
    const auto r = helper.wait(30);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    expectHandedBack();
}

INSTANTIATE_TEST_SUITE_P(
    Lease, BrokenFiles,
    ::testing::Values(BrokenFile{"CoolingTarget", false, "fan1_output", kCoolingChanged},
                      BrokenFile{"CurveTarget", true, "fan2_output", kCurveStopped}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Applesmc, ServeCurveFollowsTheTreeAndStopsWhenAFileBreaks) {
    FanDriverEmulation driver(tree);
    InteractiveProcess serve(serveArguments(owner.pidText(), std::to_string(kOwnerUid)),
                             treeOptions("applesmc", tree));
    ASSERT_TRUE(serve.sendLine(R"({"command":"profile","profile":"custom","curve":)"
                               R"({"points":[{"temperature":30,"percent":20},)"
                               R"({"temperature":60,"percent":40},)"
                               R"({"temperature":85,"percent":100}],"sensor":"CPU"}})"));
    const auto started = serve.readLine(30);
    ASSERT_TRUE(started) << "no reply";
    EXPECT_EQ(Json::parse(*started).value("ok", false), true) << *started;
    EXPECT_EQ(tree.read("fan1_manual"), "1");
    EXPECT_EQ(tree.read("fan2_manual"), "1");
    // CPU at 56 °C (TC1C) on the curve: 20 % + (56 - 30) / 30 × 20 %, of 1200...6156 rpm.
    const double fan1 = std::stod(tree.read("fan1_output"));
    EXPECT_NEAR(fan1, 1200 + (20 + 26.0 / 30 * 20) / 100 * (6156 - 1200), 2);

    tree.breakFile("fan2_output");
    Json status;
    EXPECT_TRUE(eventually(15, [&] {
        if (!serve.sendLine(R"({"command":"status"})")) return false;
        const auto line = serve.readLine(10);
        status = line ? Json::parse(*line, nullptr, false) : Json();
        return status.is_object() && !status.value("ok", true);
    })) << status.dump();
    EXPECT_EQ(status.value("message", ""), kCurveStopped);
    expectHandedBack();
    ASSERT_TRUE(serve.sendLine(R"({"command":"shutdown"})"));
    EXPECT_TRUE(serve.readLine(10));
    EXPECT_EQ(serve.wait(20).status, 0);
}

// A MacBook Pro's macsmc-hwmon tree as Linux publishes it: channels labelled with the device
// tree's words, each key beside its label in device/of_node.
TEST(Macsmc, ProbeListsEveryChannelUnderItsKeyAndControlIsRefused) {
    KernelTree tree("macsmc");
    const auto options = treeOptions("macsmc", tree);
    const auto snapshot = runJSON({helperPath(), "probe"}, options);
    EXPECT_EQ(snapshot.value("smcAvailable", false), true);
    ASSERT_EQ(snapshot.at("fans").size(), 2u);
    for (const auto& fan : snapshot.at("fans")) {
        EXPECT_EQ(fan.at("controllable"), false) << fan.dump();
        EXPECT_FALSE(fan.contains("manual")) << fan.dump();
    }
    EXPECT_EQ(snapshot.at("fans")[1].at("rpm"), 2400);

    // Every reading under its SMC key, with the catalogue's explanation where it has one.
    std::map<std::string, pyrelle::HardwareSensorReading> readings;
    for (const auto& s : snapshot.at("sensors")) {
        readings.emplace(s.at("key"),
                         pyrelle::HardwareSensorReading(s.at("key"), s.at("label"),
                                                        pyrelle::HardwareSensorKind::temperature,
                                                        s.at("celsius").get<double>()));
    }
    for (const auto& s : snapshot.at("additionalSensors")) {
        readings.emplace(s.at("key"), s.get<pyrelle::HardwareSensorReading>());
    }
    struct Expected {
        const char* key;
        double value;
        bool explained;  // the catalogue explains it (TCHP, the charge regulator, is left out:
                         // the catalogue still reads every "TC" key as a processor probe)
    };
    const Expected table[] = {
        {"TH0x", 37, true},     {"TB0T", 31, true},     {"TW0P", 36.75, true},
        {"PSTR", 12.346, true}, {"PDTR", 30.5, true},   {"PMVR", 4.125, false},
        {"PHPC", 7.25, false},  {"VD0R", 20.123, true}, {"ID0R", 0.613, true},
    };
    ASSERT_TRUE(readings.count("TCHP"));
    EXPECT_EQ(readings.at("TCHP").value, 35.5);
    for (const auto& row : table) {
        const auto found = readings.find(row.key);
        ASSERT_NE(found, readings.end()) << row.key << " " << snapshot.dump();
        ASSERT_TRUE(found->second.value) << row.key;
        EXPECT_NEAR(*found->second.value, row.value, 1e-3) << row.key;
        const auto meaning =
            pyrelle::SensorCatalog::meaning(found->second, pyrelle::SensorNamingPlatform::generic);
        EXPECT_EQ(meaning.has_value(), row.explained) << row.key;
        if (meaning) {
            EXPECT_FALSE(meaning->explanation.empty()) << row.key;
        }
    }

    OwnerProcess owner;
    Token token;
    const auto r = runProcess(
        {helperPath(), "cooling", owner.pidText(), std::to_string(kOwnerUid), token.text()},
        options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(kNotControllable) + "\n");
    EXPECT_EQ(tree.read("fan1_target"), "2317");
}

TEST(Macsmc, AFanlessAirHasAnSMCWithSensorsAndNoFans) {
    KernelTree tree("macsmc-air");
    const auto snapshot = runJSON({helperPath(), "probe"}, treeOptions("macsmc", tree));
    EXPECT_EQ(snapshot.value("smcAvailable", false), true) << snapshot.dump();
    EXPECT_TRUE(snapshot.at("fans").empty());
    EXPECT_EQ(snapshot.at("sensors").size(), 3u) << snapshot.dump();  // TB0T TCHP TW0P
    EXPECT_EQ(runJSON({helperPath(), "fan-probe"}, treeOptions("macsmc", tree)),
              (Json{{"FNum", 0}}));
}

// A T2 Mac: applesmc as an ACPI device, its fan keys floats and its mode a byte of its own.
TEST(T2, FanProbeReadsTheTreeAndTestFansTakesAndHandsBackItsFans) {
    KernelTree tree("applesmc-t2");
    const auto options = treeOptions("applesmc", tree);
    EXPECT_EQ(runJSON({helperPath(), "fan-probe"}, options), (Json{{"FNum", 2},
                                                                   {"F0Ac", 2158},
                                                                   {"F0Mn", 1200},
                                                                   {"F0Mx", 6864},
                                                                   {"F0Md", 0},
                                                                   {"F0Tg", 1200}}));
    OwnerProcess owner;
    Token token;
    BackgroundProcess helper(
        {helperPath(), "test-fans", owner.pidText(), std::to_string(kOwnerUid), token.text()},
        options);
    EXPECT_TRUE(eventually(15,
                           [&] {
                               return tree.read("fan1_manual") == "1" &&
                                      tree.read("fan2_manual") == "1" &&
                                      tree.read("fan1_output") == "6864" &&
                                      tree.read("fan2_output") == "7200";
                           }))
        << tree.read("fan1_manual") << " " << tree.read("fan1_output");
    const auto r = helper.wait(20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kCoolingDone);
    EXPECT_EQ(tree.read("fan1_manual"), "0");
    EXPECT_EQ(tree.read("fan2_manual"), "0");
}

// `probe` started the way the desktop application starts the helper (real uid 1000,
// effective uid 0), against devices the caller could or could not have chosen.
struct SecureCase {
    const char* name;
    std::function<ProcessOptions(const VirtualMac&, const KernelTree&)> prepare;
    bool available;
};

class SecureChoice : public ::testing::TestWithParam<SecureCase> {};

TEST_P(SecureChoice, OnlyADeviceTheCallerCouldOpenAndDidNotMake) {
    VirtualMac mac;
    KernelTree tree("applesmc");
    const auto options = GetParam().prepare(mac, tree);
    const auto r = runProcess({"/usr/bin/setpriv", "--ruid", std::to_string(kOwnerUid), "--euid",
                               "0", helperPath(), "probe"},
                              options);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto snapshot = Json::parse(r.out);
    EXPECT_EQ(snapshot.value("smcAvailable", false), GetParam().available);
    EXPECT_EQ(snapshot.at("fans").size(), GetParam().available ? 2u : 0u);
}

ProcessOptions socketOptions(const VirtualMac& mac) {
    ProcessOptions options;
    options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Helper, SecureChoice,
    ::testing::Values(
        SecureCase{"SharedSocket",
                   [](const VirtualMac& mac, const KernelTree&) {
                       mac.shareWithAllUsers();
                       return socketOptions(mac);
                   },
                   true},
        SecureCase{"SocketInARootOnlyDirectory",
                   [](const VirtualMac& mac, const KernelTree&) { return socketOptions(mac); },
                   false},
        SecureCase{
            "RootTree",
            [](const VirtualMac&, const KernelTree& tree) { return treeOptions("applesmc", tree); },
            true},
        SecureCase{"TreeOfTheCallersMaking",
                   [](const VirtualMac&, const KernelTree& tree) {
                       EXPECT_EQ(::chown(tree.path().c_str(), kOwnerUid, kOwnerUid), 0);
                       return treeOptions("applesmc", tree);
                   },
                   false},
        SecureCase{"TreeInARootOnlyDirectory",
                   [](const VirtualMac&, const KernelTree& tree) {
                       EXPECT_EQ(::chmod(tree.path().c_str(), 0700), 0);
                       return treeOptions("applesmc", tree);
                   },
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
