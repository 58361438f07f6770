// `PyrelleHelper probe` end to end: one pretty-printed, key-sorted snapshot document that
// agrees with the virtual Mac's own state, follows its physics, and still works without a
// device or without administrator rights.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "support/LeaseScenario.hpp"

namespace {

using namespace pyrelle::testing;
using Json = nlohmann::json;

// Every object of the document lists its keys in sorted order.
void expectSortedKeys(const nlohmann::ordered_json& value, const std::string& where = "$") {
    if (value.is_array()) {
        for (size_t i = 0; i < value.size(); ++i) {
            expectSortedKeys(value[i], where + "[" + std::to_string(i) + "]");
        }
    }
    if (!value.is_object()) return;
    std::string previous;
    for (const auto& [key, child] : value.items()) {
        EXPECT_LT(previous, key) << "at " << where;
        previous = key;
        expectSortedKeys(child, where + "." + key);
    }
}

// Runs `probe` and checks the document's form; returns it parsed.
Json probeDocument(const std::vector<std::string>& argv, const ProcessOptions& options) {
    const auto r = runProcess(argv, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.size() > 2 && r.out.substr(r.out.size() - 2) == "}\n") << r.out;
    EXPECT_NE(r.out.find("{\n  \""), std::string::npos) << "not pretty-printed";
    const auto ordered = nlohmann::ordered_json::parse(r.out, nullptr, false);
    EXPECT_FALSE(ordered.is_discarded()) << r.out;
    if (ordered.is_discarded()) return Json::object();
    expectSortedKeys(ordered);
    static const std::regex iso8601(
        R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d+)?(Z|[+-]\d{2}:?\d{2}))");
    EXPECT_TRUE(ordered.contains("date") && ordered["date"].is_string() &&
                std::regex_match(ordered["date"].get<std::string>(), iso8601))
        << ordered.value("date", nlohmann::ordered_json()).dump();
    EXPECT_EQ(ordered.value("turbo", ""), "unsupported");
    return Json::parse(r.out);
}

std::vector<std::string> probeAs(std::vector<std::string> prefix) {
    prefix.push_back(helperPath());
    prefix.push_back("probe");
    return prefix;
}

double cpuTemperature(const Json& snapshot) {
    double hottest = NAN;
    for (const auto& sensor : snapshot.at("sensors")) {
        const auto key = sensor.at("key").get<std::string>();
        if (key.rfind("TC", 0) == 0 || key.rfind("Tp", 0) == 0) {
            const double c = sensor.at("celsius").get<double>();
            if (!(hottest >= c)) hottest = c;
        }
    }
    return hottest;
}

// Fans, sensors and platform figures as the device itself reports them at about that time.
void expectMatchesDevice(const Json& snapshot, const Json& state) {
    EXPECT_EQ(snapshot.at("smcAvailable"), true);
    const auto& fans = snapshot.at("fans");
    ASSERT_EQ(fans.size(), state.at("fans").size()) << fans.dump();
    for (size_t n = 0; n < fans.size(); ++n) {
        const auto& fan = fans[n];
        const auto& device = state.at("fans")[n];
        EXPECT_EQ(fan.at("id").get<int>(), device.at("id").get<int>());
        EXPECT_DOUBLE_EQ(fan.at("minimum").get<double>(), device.at("minimum").get<double>());
        EXPECT_DOUBLE_EQ(fan.at("maximum").get<double>(), device.at("maximum").get<double>());
        EXPECT_NEAR(fan.at("rpm").get<double>(), device.at("actual").get<double>(),
                    std::max(150.0, 0.1 * device.at("actual").get<double>()));
        EXPECT_EQ(fan.at("manual"), device.at("manual"));
        EXPECT_EQ(fan.at("controllable"), true);
    }
    const auto& temperatures = state.at("temperatures");
    ASSERT_FALSE(snapshot.at("sensors").empty());
    for (const auto& sensor : snapshot.at("sensors")) {
        const auto key = sensor.at("key").get<std::string>();
        ASSERT_TRUE(temperatures.contains(key)) << key;
        EXPECT_NEAR(sensor.at("celsius").get<double>(), temperatures.at(key).get<double>(), 3.0)
            << key;
        EXPECT_FALSE(sensor.at("label").get<std::string>().empty());
    }
    EXPECT_TRUE(std::isfinite(cpuTemperature(snapshot))) << snapshot.at("sensors").dump();
    EXPECT_TRUE(snapshot.at("additionalSensors").is_array());
    const auto& power = state.at("power");
    for (const char* key :
         {"totalCPUs", "availableCPUs", "thermalState", "thermalWarning", "speedLimit",
          "schedulerLimit", "acPower", "lowPower", "memoryPressure"}) {
        EXPECT_EQ(snapshot.value(key, Json()), power.at(key)) << key;
    }
}

TEST(ProbeCommand, PrintsOneSortedSnapshotOfTheVirtualMac) {
    VirtualMac mac;
    const auto snapshot = probeDocument({helperPath(), "probe"}, deviceOptions(mac));
    expectMatchesDevice(snapshot, mac.state());
    EXPECT_TRUE(snapshot.contains("memoryPressure"));
    EXPECT_EQ(writeCount(mac.state()), 0u) << "probe wrote to the device";
}

TEST(ProbeCommand, FollowsTheVirtualMacUnderFullLoad) {
    VirtualMac mac;
    const auto idle = probeDocument({helperPath(), "probe"}, deviceOptions(mac));
    ASSERT_TRUE(mac.control({{"op", "load"}, {"value", 1.0}}).at("ok").get<bool>());
    ASSERT_TRUE(mac.control({{"op", "advance"}, {"seconds", 1800}}).at("ok").get<bool>());
    const auto before = mac.state();
    const auto hot = probeDocument({helperPath(), "probe"}, deviceOptions(mac));
    ASSERT_GT(before.at("power").at("thermalState").get<int>(), 0)
        << "the virtual Mac no longer heats up under full load";
    expectMatchesDevice(hot, before);
    EXPECT_GT(hot.at("thermalState").get<int>(), idle.at("thermalState").get<int>());
    EXPECT_GT(cpuTemperature(hot), cpuTemperature(idle) + 10);
}

TEST(ProbeCommand, WithoutADeviceReportsTheHost) {
    ProcessOptions options;
    options.unset = {"PYRELLE_SMC_SOCKET"};
    const auto snapshot = probeDocument({helperPath(), "probe"}, options);
    EXPECT_EQ(snapshot.at("smcAvailable"), false);
    EXPECT_EQ(snapshot.at("fans"), Json::array());
    EXPECT_EQ(snapshot.at("sensors"), Json::array());
    EXPECT_EQ(snapshot.at("totalCPUs").get<long>(), sysconf(_SC_NPROCESSORS_CONF));
    if (snapshot.contains("availableCPUs")) {
        EXPECT_EQ(snapshot.at("availableCPUs").get<long>(), sysconf(_SC_NPROCESSORS_ONLN));
    }
    // -1 is the shim's "unknown" for a host without a thermal zone that has trip points.
    const int state = snapshot.at("thermalState").get<int>();
    EXPECT_TRUE(state >= -1 && state <= 3) << state;
    if (snapshot.contains("cpuUsage")) {
        const double usage = snapshot.at("cpuUsage").get<double>();
        EXPECT_TRUE(usage >= 0 && usage <= 100) << usage;
    }
}

TEST(ProbeCommand, NeedsNoAdministrator) {
    VirtualMac mac;
    mac.shareWithAllUsers();
    const auto snapshot = probeDocument(
        probeAs({"/usr/bin/setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"}),
        deviceOptions(mac));
    expectMatchesDevice(snapshot, mac.state());

    ProcessOptions noDevice;
    noDevice.unset = {"PYRELLE_SMC_SOCKET"};
    const auto host = probeDocument(
        probeAs({"/usr/bin/setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"}),
        noDevice);
    EXPECT_EQ(host.at("smcAvailable"), false);
}

}  // namespace
