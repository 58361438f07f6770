// The one-shot fan commands end to end: the real helper drives a real virtual Mac, and after
// every scenario — success, refusal, fault, signal, owner exit or stop file — the device's own
// state shows every fan back under system-automatic control with "Ftst" at its old value.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "pyrelle/Base64.hpp"
#include "support/Descendants.hpp"
#include "support/LeaseScenario.hpp"

namespace {

using namespace pyrelle::testing;

constexpr const char* kCoolingDone = "散热会话结束，已确认风扇恢复系统自动。\n";
constexpr const char* kProfileDone = "模式会话结束，风扇已恢复系统自动；保留睿频选择。\n";

std::string curveArgument(const nlohmann::json& curve) {
    return pyrelle::Base64::encode(curve.dump());
}

const nlohmann::json kCurve = {{"points",
                                {{{"temperature", 30}, {"percent", 20}},
                                 {{"temperature", 60}, {"percent", 40}},
                                 {{"temperature", 85}, {"percent", 100}}}},
                               {"sensor", "CPU"}};

struct Fixture : ::testing::Test {
    VirtualMac mac{"apple-m4-pro"};
    OwnerProcess owner;
    Token token;

    // The helpers' guardians outlive them; each is waited for before the test ends.
    static void SetUpTestSuite() { adoptOrphans(); }
    void TearDown() override { EXPECT_TRUE(reapAdopted("PyrelleHelper", 15)); }

    std::vector<std::string> cooling(const std::string& word = "cooling") const {
        return {helperPath(), word, owner.pidText(), std::to_string(kOwnerUid), token.text()};
    }
    std::vector<std::string> profile(const std::string& curve) const {
        return {helperPath(), "profile", "custom", owner.pidText(), std::to_string(kOwnerUid),
                token.text(), curve};
    }
    BackgroundProcess start(const std::vector<std::string>& argv) const {
        return BackgroundProcess(argv, deviceOptions(mac));
    }
    void fault(nlohmann::json request) const { injectFault(mac, std::move(request)); }
    void expectHandedBack() const {
        const auto state = mac.state();
        EXPECT_TRUE(allFansAutomatic(state)) << state.at("fans").dump();
        EXPECT_EQ(state.at("ftst").get<int>(), 0);
    }
    void awaitControl() const { awaitFansTaken(mac); }
};

TEST_F(Fixture, TestFansRunsFiveSecondsAtMaximumAndHandsBack) {
    auto helper = start(cooling("test-fans"));
    awaitControl();
    const auto during = mac.state();
    for (const auto& fan : during.at("fans")) {
        EXPECT_EQ(fan.at("target").get<double>(), fan.at("maximum").get<double>());
    }
    EXPECT_EQ(during.at("ftst").get<int>(), 1);
    const auto r = helper.wait(20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kCoolingDone);
    EXPECT_EQ(r.err, "");
    expectHandedBack();
}

struct Ending {
    const char* name;
    std::function<void(Fixture&, BackgroundProcess&)> act;
};

class Endings : public Fixture, public ::testing::WithParamInterface<Ending> {};

// A cooling run of 300 s ends early and normally, whatever asked it to stop.
TEST_P(Endings, StopTheCoolingRunNormally) {
    auto helper = start(cooling());
    awaitControl();
    GetParam().act(*this, helper);
    const auto r = helper.wait(15);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kCoolingDone);
    expectHandedBack();
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Endings,
    ::testing::Values(Ending{"SIGTERM", [](Fixture&, BackgroundProcess& h) { h.signal(SIGTERM); }},
                      Ending{"SIGINT", [](Fixture&, BackgroundProcess& h) { h.signal(SIGINT); }},
                      Ending{"SIGHUP", [](Fixture&, BackgroundProcess& h) { h.signal(SIGHUP); }},
                      Ending{"OwnerExits", [](Fixture& f, BackgroundProcess&) { f.owner.exit(); }},
                      Ending{"StopFile",
                             [](Fixture& f, BackgroundProcess&) { f.token.requestStop(); }}),
    [](const auto& info) { return std::string(info.param.name); });

struct Fault {
    const char* name;
    const char* command;  // "test-fans", "cooling" or "profile"
    bool afterControl;    // inject once the fans are taken, else before the start
    nlohmann::json request;
    const char* message;  // expected in standard error
};

class Faults : public Fixture, public ::testing::WithParamInterface<Fault> {};

TEST_P(Faults, EndWithTheFansHandedBackAndTheReasonReported) {
    const auto& c = GetParam();
    const int ftstBefore = mac.state().at("ftst").get<int>();
    if (!c.afterControl) fault(c.request);
    const auto argv =
        std::string(c.command) == "profile" ? profile(curveArgument(kCurve)) : cooling(c.command);
    auto helper = start(argv);
    if (c.afterControl) {
        awaitControl();
        if (c.request.at("kind") == "sleep-wake") {
            ASSERT_TRUE(mac.control({{"op", "sleep-wake"}}).at("ok").get<bool>());
        } else {
            fault(c.request);
        }
    }
    const auto r = helper.wait(30);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    mac.control({{"op", "clear-faults"}});
    const auto state = mac.state();
    if (r.err.find("恢复自动风扇失败") == std::string::npos) {
        EXPECT_TRUE(allFansAutomatic(state)) << state.at("fans").dump();
        EXPECT_EQ(state.at("ftst").get<int>(), ftstBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Faults,
    ::testing::Values(Fault{"RefusedTargetWrite",
                            "test-fans",
                            false,
                            {{"kind", "refuse-write"}, {"key", "F1Tg"}},
                            "F1Tg"},
                      Fault{"RefusedModeWrite",
                            "test-fans",
                            false,
                            {{"kind", "refuse-write"}, {"key", "F1Md"}},
                            "F1Md"},
                      Fault{"ReadBackOff",
                            "test-fans",
                            false,
                            {{"kind", "readback-offset"}, {"key", "F0Tg"}, {"delta", 40}},
                            "回读不一致"},
                      Fault{"FanStolenMidLease",
                            "cooling",
                            true,
                            {{"kind", "steal-fan"}, {"fan", 0}},
                            "检测到风扇状态改变或无法读取，散热会话已停止"},
                      Fault{"SleepWake",
                            "cooling",
                            true,
                            {{"kind", "sleep-wake"}},
                            "检测到风扇状态改变或无法读取，散热会话已停止"},
                      Fault{"CurveFanStolen",
                            "profile",
                            true,
                            {{"kind", "steal-fan"}, {"fan", 1}},
                            "风扇控制被改变或无法读取，已停止曲线"},
                      Fault{"ControlSensorVanishes",
                            "profile",
                            true,
                            {{"kind", "refuse-read"}, {"key", "TC*"}},
                            "控制温度传感器不可用，已停止曲线并恢复系统自动"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Fixture, UnlockFlagHeldByAnotherProgramRefusesTheTakeOver) {
    fault({{"kind", "hold-ftst"}});
    const int before = mac.state().at("ftst").get<int>();
    auto helper = start(cooling("test-fans"));
    const auto r = helper.wait(30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.empty());
    const auto state = mac.state();
    EXPECT_TRUE(allFansAutomatic(state));
    EXPECT_EQ(state.at("ftst").get<int>(), before);
}

// The stop file's path is public (its token is in the helper's argv): only a plain file of the
// owner's or root's stops the run; a link, or a file of another user's, is ignored.
TEST_F(Fixture, OnlyTheOwnersOrRootsStopFileStopsTheRun) {
    auto helper = start(cooling());
    awaitControl();
    const std::string path = token.stopFile();
    ASSERT_EQ(symlink("/etc/hostname", path.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // over one lease cycle
    EXPECT_TRUE(helper.running()) << "a link stopped the run";
    unlink(path.c_str());
    token.requestStop();
    ASSERT_EQ(chown(path.c_str(), 1001, 1001), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(helper.running()) << "another user's file stopped the run";
    ASSERT_EQ(chown(path.c_str(), kOwnerUid, kOwnerUid), 0);
    const auto r = helper.wait(15);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kCoolingDone);
    expectHandedBack();
}

TEST_F(Fixture, CustomCurveRunsUntilItsStopFile) {
    auto helper = start(profile(curveArgument(kCurve)));
    awaitControl();
    token.requestStop();
    const auto r = helper.wait(15);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kProfileDone);
    expectHandedBack();
}

TEST_F(Fixture, StopFileBeforeTheStartTouchesNothing) {
    token.requestStop();
    const auto profileRun = runProcess(profile(curveArgument(kCurve)), deviceOptions(mac));
    EXPECT_EQ(profileRun.status, 0);
    EXPECT_EQ(profileRun.out, "");
    EXPECT_EQ(profileRun.err, "");
    const auto coolingRun = runProcess(cooling(), deviceOptions(mac));
    EXPECT_EQ(coolingRun.status, 0);
    EXPECT_EQ(coolingRun.out, kCoolingDone);
    EXPECT_EQ(writeCount(mac.state()), 0u);
}

TEST_F(Fixture, LowerCaseTokenNamesTheSameStopFile) {
    token.requestStop();
    auto argv = profile(curveArgument(kCurve));
    argv[5] = token.lower();
    const auto r = runProcess(argv, deviceOptions(mac));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(writeCount(mac.state()), 0u);
}

struct BadArguments {
    const char* name;
    std::function<std::vector<std::string>(const Fixture&)> argv;
    const char* err;
};

class LeaseRefusals : public Fixture, public ::testing::WithParamInterface<BadArguments> {};

TEST_P(LeaseRefusals, TouchNoFan) {
    const auto r = runProcess(GetParam().argv(*this), deviceOptions(mac));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    if (GetParam().err[0] != '\0') {
        EXPECT_EQ(r.err, std::string(GetParam().err) + "\n");
    } else {
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(writeCount(mac.state()), 0u);
}

const char* kBadCooling = "无效的散热会话参数或发起程序已经退出";
const char* kBadProfile = "无效的模式会话参数";

std::vector<std::string> with(std::vector<std::string> argv, size_t index, std::string value) {
    argv[index] = std::move(value);
    return argv;
}

nlohmann::json points(std::initializer_list<std::pair<double, double>> list) {
    nlohmann::json result = nlohmann::json::array();
    for (auto [t, p] : list) result.push_back({{"temperature", t}, {"percent", p}});
    return result;
}

INSTANTIATE_TEST_SUITE_P(
    Lease, LeaseRefusals,
    ::testing::Values(
        BadArguments{"PidOne", [](const Fixture& f) { return with(f.cooling(), 2, "1"); },
                     kBadCooling},
        BadArguments{"UidZero", [](const Fixture& f) { return with(f.cooling(), 3, "0"); },
                     kBadCooling},
        BadArguments{"UidNegative", [](const Fixture& f) { return with(f.cooling(), 3, "-1000"); },
                     kBadCooling},
        BadArguments{"PidWithSpace",
                     [](const Fixture& f) { return with(f.cooling(), 2, " " + f.owner.pidText()); },
                     kBadCooling},
        BadArguments{"MalformedToken",
                     [](const Fixture& f) { return with(f.cooling(), 4, "not-a-token"); },
                     kBadCooling},
        BadArguments{"TokenWithoutDashes",
                     [](const Fixture& f) {
                         std::string t = f.token.text();
                         t[8] = '0';
                         return with(f.cooling(), 4, t);
                     },
                     kBadCooling},
        BadArguments{"OwnerOfAnotherUser",
                     [](const Fixture& f) { return with(f.cooling(), 3, "1001"); }, kBadCooling},
        BadArguments{"ExtraArgument",
                     [](const Fixture& f) {
                         auto a = f.cooling();
                         a.push_back("x");
                         return a;
                     },
                     kBadCooling},
        BadArguments{"ProfileBadPid",
                     [](const Fixture& f) { return with(f.profile("e30="), 3, "0"); }, kBadProfile},
        BadArguments{"CurveTooLong",
                     [](const Fixture& f) {
                         std::string curve = curveArgument(kCurve);
                         while (curve.size() < 4097) curve = "AAAA" + curve;
                         curve = curve.substr(curve.size() - 4097);
                         return f.profile(curve);
                     },
                     "曲线数据无效"},
        BadArguments{"CurveNotBase64", [](const Fixture& f) { return f.profile("!!!!"); },
                     "曲线数据无效"},
        BadArguments{"CurveWithLineBreak", [](const Fixture& f) { return f.profile("e30=\n"); },
                     "曲线数据无效"},
        BadArguments{"CurveNotJson",
                     [](const Fixture& f) { return f.profile(pyrelle::Base64::encode("hello")); },
                     ""},
        BadArguments{"CurveWrongShape",
                     [](const Fixture& f) {
                         return f.profile(curveArgument({{"points", 3}}));
                     },
                     ""},
        BadArguments{"CurveNaNText",
                     [](const Fixture& f) {
                         return f.profile(pyrelle::Base64::encode(
                             R"({"points":[{"temperature":"NaN","percent":1}],"sensor":"CPU"})"));
                     },
                     ""},
        BadArguments{
            "CurveHugeNumbers",
            [](const Fixture& f) {
                return f.profile(pyrelle::Base64::encode(
                    R"({"points":[{"temperature":1e400,"percent":1},{"temperature":90,"percent":100}],"sensor":"CPU"})"));
            },
            ""},
        BadArguments{"CurveNinePoints",
                     [](const Fixture& f) {
                         return f.profile(curveArgument({{"points", points({{30, 0},
                                                                            {35, 1},
                                                                            {40, 2},
                                                                            {45, 3},
                                                                            {50, 4},
                                                                            {55, 5},
                                                                            {60, 6},
                                                                            {65, 7},
                                                                            {70, 100}})},
                                                         {"sensor", "CPU"}}));
                     },
                     "曲线需要 2 至 8 个控制点"},
        BadArguments{"CurveDecreasing",
                     [](const Fixture& f) {
                         return f.profile(
                             curveArgument({{"points", points({{40, 50}, {60, 40}, {90, 100}})},
                                            {"sensor", "CPU"}}));
                     },
                     "温度控制点至少间隔 2°C，转速必须随温度升高而不降低"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LeaseCommands, AutoWithoutDeviceHasNoFans) {
    ProcessOptions options;
    options.unset = {"PYRELLE_SMC_SOCKET"};
    const auto r = runProcess({helperPath(), "auto"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "没有可读取的风扇\n");
}

// Only a kill of the guardian as well as of the helper leaves the fans forced; `auto` is then
// the way back.
TEST_F(Fixture, AutoHandsBackFansLeftManualByAKilledHelperAndGuardian) {
    {
        auto helper = start(cooling());
        awaitControl();
        const auto guardians = childrenNamed(helper.pid(), "PyrelleHelper");
        ASSERT_EQ(guardians.size(), 1u);
        kill(guardians[0], SIGKILL);
        helper.signal(SIGKILL);  // no chance to restore: the fans stay manual
        helper.wait(5);
    }
    EXPECT_TRUE(reapAdopted("PyrelleHelper", 5));
    ASSERT_FALSE(allFansAutomatic(mac.state()));
    const auto r = runProcess({helperPath(), "auto"}, deviceOptions(mac));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "风扇已恢复系统自动。\n");
    expectHandedBack();
    const auto extra = runProcess({helperPath(), "auto", "now"}, deviceOptions(mac));
    EXPECT_EQ(extra.err, "无效参数\n");
}

}  // namespace
