// The control session's state machine with an in-memory fan set and a fast clock: start,
// confirmation, status, replacement, failures that block new sessions until "auto", and the
// gate. Runs under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include <nlohmann/json.hpp>
#include <thread>

#include "SessionControl.hpp"
#include "pyrelle/ScopeError.hpp"
#include "support/FakeClock.hpp"
#include "support/FakeCoolingHardware.hpp"

namespace {

using namespace pyrelle;
using pyrelle::helper::SessionControl;
using pyrelle::helper::SessionDependencies;
using pyrelle::testing::FakeClock;
using pyrelle::testing::FakeCoolingHardware;

struct Harness {
    FakeCoolingHardware hardware;
    FakeClock clock;
    std::atomic<double> cpu{60};
    std::atomic<bool> sensorsGone{false};
    std::unique_ptr<SessionControl> control;

    // `injectedPause` false leaves the lease's pause to the session itself, as in the helper.
    explicit Harness(double stopWait = 12, bool injectedPause = true) {
        hardware.addFan(0, 1000, 5000, 1000).addFan(1, 1200, 6000, 1200);
        SessionDependencies d;
        d.hardware = &hardware;
        d.makeSampler = [this] {
            return std::function<Snapshot()>([this] {
                Snapshot s;
                if (!sensorsGone) s.sensors.push_back({"TC0P", "CPU", cpu.load()});
                return s;
            });
        };
        d.now = [this] { return clock.now(); };
        if (injectedPause) {
            d.sleep = [this](double seconds) {
                clock.pause(seconds);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            };
        }
        d.externalStop = [] { return false; };
        d.stopWaitSeconds = stopWait;
        control = std::make_unique<SessionControl>(501, 501, std::move(d));
    }

    ~Harness() { control->stopAndWait(); }

    ControlReply request(const std::string& json) {
        try {
            return control->handle(decodeControlRequest(json));
        } catch (const std::exception& e) {
            return ControlReply::failure(e.what());
        }
    }

    // Waits (real time, bounded generously for a loaded machine) until the lease has ended.
    bool awaitIdle() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (control->running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return !control->running();
    }
};

const std::string kProfile =
    R"({"command":"profile","profile":"custom","curve":{"points":[{"temperature":40,"percent":20},{"temperature":80,"percent":100}],"sensor":"CPU"}})";

TEST(SessionControl, StatusBeforeAnySession) {
    Harness h;
    const auto reply = h.request(R"({"command":"hello"})");
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.message, "风扇由系统管理");
    EXPECT_FALSE(reply.session);
    EXPECT_FALSE(reply.fanStatus);
}

TEST(SessionControl, TestFansIsConfirmedThenEndsByItself) {
    Harness h;
    const auto reply = h.request(R"({"command":"test-fans"})");
    ASSERT_TRUE(reply.ok) << reply.message;
    EXPECT_EQ(reply.message, "控制已确认生效");
    EXPECT_EQ(reply.label, "风扇验证");
    EXPECT_EQ(reply.profile, "custom");
    ASSERT_TRUE(reply.session);
    EXPECT_EQ(reply.session->size(), 36u);
    ASSERT_TRUE(reply.fanStatus);
    EXPECT_LE(reply.fanStatus->remainingSeconds, 5);
    EXPECT_EQ(reply.fanStatus->targets, (std::vector<FanTarget>{{0, 5000}, {1, 6000}}));
    ASSERT_TRUE(h.awaitIdle());
    const auto later = h.request(R"({"command":"status"})");
    EXPECT_TRUE(later.ok);
    EXPECT_EQ(later.message, "风扇由系统管理");
    EXPECT_TRUE(h.hardware.allAutomatic());
}

// The lease's own loop keeps advancing the fake clock while the reply is made, by however much
// the scheduler lets it; the time left is checked against the fake time that passed meanwhile.
void expectRemaining(const ControlReply& reply, double duration, double passed) {
    ASSERT_TRUE(reply.fanStatus);
    constexpr double kRounding = 1e-6;
    EXPECT_LE(reply.fanStatus->remainingSeconds, duration + kRounding);
    EXPECT_GE(reply.fanStatus->remainingSeconds, duration - passed - kRounding);
}

TEST(SessionControl, ProfileDefaultsAndReplacement) {
    Harness h;
    double before = h.clock.now();
    const auto first = h.request(kProfile);
    ASSERT_TRUE(first.ok) << first.message;
    EXPECT_EQ(first.label, "自定义");
    expectRemaining(first, 1800, h.clock.now() - before);

    auto withLabel = nlohmann::json::parse(kProfile);
    withLabel["label"] = "夜间";
    withLabel["duration"] = 600;
    before = h.clock.now();
    const auto second = h.request(withLabel.dump());
    ASSERT_TRUE(second.ok) << second.message;
    EXPECT_NE(second.session, first.session);
    EXPECT_EQ(second.label, "夜间");
    expectRemaining(second, 600, h.clock.now() - before);
    // The first lease handed both fans back before the second took them again.
    const auto writes = h.hardware.writes();
    const auto firstAuto = std::find(writes.begin(), writes.end(), "auto 1");
    ASSERT_NE(firstAuto, writes.end());
    EXPECT_NE(std::find(firstAuto, writes.end(), "manual 0"), writes.end());

    const auto shutdown = h.request(R"({"command":"shutdown"})");
    EXPECT_TRUE(shutdown.ok);
    EXPECT_EQ(shutdown.message, "风扇由系统管理");
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(SessionControl, LeaseFailureIsReportedUntilAutoClearsIt) {
    Harness h;
    ASSERT_TRUE(h.request(kProfile).ok);
    h.sensorsGone = true;
    ASSERT_TRUE(h.awaitIdle());
    const auto status = h.request(R"({"command":"status"})");
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message, "控制温度传感器不可用，已停止曲线并恢复系统自动");
    EXPECT_FALSE(status.session);
    h.sensorsGone = false;
    const auto cleared = h.request(R"({"command":"auto"})");
    EXPECT_TRUE(cleared.ok);
    EXPECT_EQ(cleared.message, "风扇由系统管理");
}

TEST(SessionControl, FailedRestoreBlocksNewSessionsUntilAutoSucceeds) {
    Harness h;
    ASSERT_TRUE(h.request(kProfile).ok);
    h.hardware.autoFailures[1] = "SMC F1Md 写入失败（130）；此机型可能不支持控制";
    h.sensorsGone = true;
    ASSERT_TRUE(h.awaitIdle());
    const std::string failure =
        "控制温度传感器不可用，已停止曲线并恢复系统自动；恢复自动风扇失败：SMC F1Md "
        "写入失败（130）；此机型可能不支持控制";
    EXPECT_EQ(h.request(R"({"command":"status"})").message, failure);
    h.sensorsGone = false;
    for (const auto& blocked : {std::string(R"({"command":"test-fans"})"), kProfile,
                                std::string(R"({"command":"shutdown"})")}) {
        const auto reply = h.request(blocked);
        EXPECT_FALSE(reply.ok) << blocked;
        EXPECT_EQ(reply.message, failure) << blocked;
    }
    EXPECT_EQ(h.control->handBackFailure(), failure) << "a session ending now must say so";
    const auto stillFailing = h.request(R"({"command":"auto"})");
    EXPECT_FALSE(stillFailing.ok);
    EXPECT_EQ(stillFailing.message,
              "恢复自动风扇失败：SMC F1Md 写入失败（130）；此机型可能不支持控制");
    h.hardware.autoFailures.clear();
    EXPECT_TRUE(h.request(R"({"command":"auto"})").ok);
    EXPECT_FALSE(h.control->handBackFailure());
    EXPECT_TRUE(h.request(R"({"command":"test-fans"})").ok);
}

// Outside a lease the fans are read: one left manual (or of unknown mode, as with "Ftst" still
// set), or none readable, is never reported as managed by the system.
TEST(SessionControl, StatusOutsideALeaseClaimsSystemControlOnlyForAutomaticFans) {
    Harness h;
    for (const std::optional<bool> mode : {std::optional<bool>(true), std::optional<bool>()}) {
        h.hardware.fan(1).reading.manual = mode;
        const auto reply = h.request(R"({"command":"status"})");
        EXPECT_FALSE(reply.ok);
        EXPECT_EQ(reply.message, "风扇未处于系统自动，请先退出其他风扇控制程序");
        EXPECT_FALSE(reply.session);
    }
    // Nor fans that cannot be read at all (a broken connection is reopened first).
    h.hardware.hidden = {0, 1};
    const auto unread = h.request(R"({"command":"status"})");
    EXPECT_FALSE(unread.ok);
    EXPECT_EQ(unread.message, "没有可读取的风扇");
    h.hardware.hidden.clear();
    const auto handedBack = h.request(R"({"command":"auto"})");
    EXPECT_TRUE(handedBack.ok);
    EXPECT_EQ(handedBack.message, "风扇由系统管理");
}

TEST(SessionControl, RefusedAndInvalidRequestsLeaveTheSessionAsItWas) {
    Harness h;
    const std::string refused =
        "Apple Silicon 当前仅支持独立风扇控制，不支持 Intel 睿频或电源设置控制";
    EXPECT_EQ(h.request(R"({"command":"turbo-disable"})").message, refused);
    EXPECT_EQ(h.request(R"({"command":"profile","profile":"quiet"})").message, refused);
    EXPECT_EQ(h.request(R"({"command":"profile","profile":"automatic"})").message, "无效模式");
    EXPECT_EQ(h.request(R"({"command":"launch"})").message, "未知控制命令");
    EXPECT_TRUE(h.hardware.writes().empty());
    EXPECT_TRUE(h.request(R"({"command":"status"})").ok);
}

TEST(SessionControl, StartThatCannotTakeTheFansIsNotConfirmed) {
    Harness h;
    h.hardware.fan(0).reading.manual = true;  // another program holds it
    const auto reply = h.request(R"({"command":"test-fans"})");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.message, "请先恢复系统自动风扇并退出其他控制程序");
    EXPECT_FALSE(h.control->running());
}

TEST(SessionControl, AutoWithoutFans) {
    Harness h;
    h.hardware.hidden = {0, 1};
    EXPECT_EQ(h.request(R"({"command":"auto"})").message, "没有可读取的风扇");
}

TEST(SessionControl, UnconfirmedStartTimesOutAndAsksTheLeaseToStop) {
    Harness h(/*stopWait=*/0.2);
    std::atomic<bool> release{false};
    h.hardware.afterWrite = [&release] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    const auto reply = h.request(R"({"command":"test-fans"})");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.message, "控制确认超时，已请求恢复系统自动");
    const auto next = h.request(kProfile);
    EXPECT_EQ(next.message, "等待风扇恢复自动超时，未开始下一操作");
    release = true;
    ASSERT_TRUE(h.awaitIdle());
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(SessionControl, AStopEndsTheLeasesOwnPauseAtOnce) {
    Harness h(/*stopWait=*/12, /*injectedPause=*/false);
    ASSERT_TRUE(h.request(kProfile).ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the 2-second pause
    ASSERT_TRUE(h.control->running());
    ASSERT_TRUE(h.control->status().ok) << h.control->status().message;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.control->stopAndWait());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(h.hardware.allAutomatic());
}

}  // namespace
