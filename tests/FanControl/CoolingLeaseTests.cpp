// The full-speed cooling lease and the hand-back routine, against an in-memory fan set and a
// fake clock: refusals touch nothing, and every path after the first write restores every fan.
#include <gtest/gtest.h>

#include <cmath>

#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/ScopeError.hpp"
#include "support/FakeClock.hpp"
#include "support/FakeCoolingHardware.hpp"

namespace {

using pyrelle::ScopeError;
using pyrelle::testing::FakeClock;
using pyrelle::testing::FakeCoolingHardware;
namespace CoolingLease = pyrelle::CoolingLease;

const std::string kNotAutomatic =
    "请先恢复系统自动风扇并退出其他风扇控制软件；也可能是此机型没有可写的风扇接口。";
const std::string kRated = "风扇额定转速无法验证，已拒绝控制";
const std::string kInherited = "风扇当前目标转速无法验证，已拒绝切换手动模式";

struct Harness {
    FakeCoolingHardware hardware;
    FakeClock clock;
    bool cancelled = false;
    int waits = 0;

    Harness() { hardware.addFan(0, 1200, 5000, 1200).addFan(1, 1300, 5200, 1300); }

    // Runs the lease; returns the error text, or "" on a normal return.
    std::string run(double duration) {
        try {
            CoolingLease::run(
                hardware, duration, [this] { return clock.now(); }, [this] { return cancelled; },
                [this] {
                    ++waits;
                    clock.pause(1);
                });
            return "";
        } catch (const std::exception& e) {
            return e.what();
        }
    }
};

TEST(CoolingLease, RunsAtMaximumForItsDurationThenRestores) {
    Harness h;
    EXPECT_EQ(h.run(5), "");
    EXPECT_EQ(h.waits, 5);
    EXPECT_EQ(h.hardware.writes(),
              (std::vector<std::string>{"manual 0", "target 0 5000", "manual 1", "target 1 5200",
                                        "auto 0", "auto 1"}));
    EXPECT_TRUE(h.hardware.allAutomatic());
}

struct RefusalCase {
    const char* name;
    std::function<void(Harness&)> arrange;
    double duration;
    std::string error;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, TouchNothing) {
    Harness h;
    GetParam().arrange(h);
    EXPECT_EQ(h.run(GetParam().duration), GetParam().error);
    EXPECT_TRUE(h.hardware.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::Values(
        RefusalCase{"DurationZero", [](Harness&) {}, 0, "散热会话必须在 5 分钟以内"},
        RefusalCase{"DurationOver300", [](Harness&) {}, 300.5, "散热会话必须在 5 分钟以内"},
        RefusalCase{"DurationNaN", [](Harness&) {}, std::nan(""), "散热会话必须在 5 分钟以内"},
        RefusalCase{"CancelledBeforeStart", [](Harness& h) { h.cancelled = true; }, 5, ""},
        RefusalCase{"NoFans",
                    [](Harness& h) {
                        h.hardware.hidden = {0, 1};
                    },
                    5, kNotAutomatic},
        RefusalCase{"ManualUnknown", [](Harness& h) { h.hardware.fan(1).reading.manual.reset(); },
                    5, kNotAutomatic},
        RefusalCase{"AlreadyManual", [](Harness& h) { h.hardware.fan(0).reading.manual = true; }, 5,
                    kNotAutomatic},
        RefusalCase{"NotControllable",
                    [](Harness& h) { h.hardware.fan(0).reading.controllable = false; }, 5,
                    kNotAutomatic},
        RefusalCase{"MaximumOver12000",
                    [](Harness& h) { h.hardware.fan(1).reading.maximum = 12001; }, 5, kRated},
        RefusalCase{"MinimumAboveMaximum",
                    [](Harness& h) { h.hardware.fan(1).reading.minimum = 6000; }, 5, kRated},
        RefusalCase{"MaximumMissing", [](Harness& h) { h.hardware.fan(0).reading.maximum.reset(); },
                    5, kRated},
        RefusalCase{"TargetUnreadable", [](Harness& h) { h.hardware.fan(1).target.reset(); }, 5,
                    kInherited},
        RefusalCase{"TargetAboveRange", [](Harness& h) { h.hardware.fan(0).target = 5000.5; }, 5,
                    kInherited},
        RefusalCase{"TargetNaN", [](Harness& h) { h.hardware.fan(0).target = std::nan(""); }, 5,
                    kInherited}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CoolingLease, AcceptsTheBoundaries) {
    Harness h;
    h.hardware.fan(0).reading.maximum = 12000;
    h.hardware.fan(0).reading.minimum = 0;     // the cooling lease accepts a zero minimum
    h.hardware.fan(0).target = 12000;          // a target at the maximum is inherited
    h.hardware.fan(1).reading.minimum = 5200;  // minimum equal to maximum
    h.hardware.fan(1).target = 5200;
    EXPECT_EQ(h.run(300), "");
    EXPECT_EQ(h.waits, 300);
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(CoolingLease, CancellationWhileApplyingRestoresEveryFanReadAtTheStart) {
    Harness h;
    h.hardware.afterWrite = [&h] {
        if (h.hardware.log.back() == "target 0 5000") h.cancelled = true;
    };
    EXPECT_EQ(h.run(5), "散热会话已取消或超时");
    EXPECT_EQ(h.hardware.writes(),
              (std::vector<std::string>{"manual 0", "target 0 5000", "auto 0", "auto 1"}));
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(CoolingLease, CancellationWhileMonitoringIsANormalEnd) {
    Harness h;
    h.clock.onPause([&h](double) {
        if (h.waits == 2) h.cancelled = true;
    });
    EXPECT_EQ(h.run(300), "");
    EXPECT_EQ(h.waits, 2);
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(CoolingLease, ReadBackToleranceIsBelowTwoRpm) {
    {
        Harness h;
        h.hardware.readBackOffset[1] = 1.9;
        EXPECT_EQ(h.run(3), "");
    }
    Harness h;
    h.hardware.readBackOffset[1] = -2.0;
    h.hardware.fan(1).target = 1302;  // the inherited target stays inside the range
    EXPECT_EQ(h.run(3), "检测到风扇状态改变或无法读取，散热会话已停止");
    EXPECT_TRUE(h.hardware.allAutomatic());
    EXPECT_EQ(h.waits, 0);
}

TEST(CoolingLease, AFanTakenBackOrVanishedStopsTheLease) {
    Harness h;
    h.clock.onPause([&h](double) { h.hardware.fan(0).reading.manual = false; });
    EXPECT_EQ(h.run(10), "检测到风扇状态改变或无法读取，散热会话已停止");
    EXPECT_EQ(h.waits, 1);

    Harness gone;
    gone.clock.onPause([&gone](double) { gone.hardware.hidden = {1}; });
    EXPECT_EQ(gone.run(10), "检测到风扇状态改变或无法读取，散热会话已停止");
    EXPECT_TRUE(gone.hardware.allAutomatic());
}

TEST(CoolingLease, WriteFailureIsReportedAfterTheRestore) {
    Harness h;
    h.hardware.targetFailures[1] = "SMC F1Tg 写入失败（130）；此机型可能不支持控制";
    EXPECT_EQ(h.run(5), "SMC F1Tg 写入失败（130）；此机型可能不支持控制");
    EXPECT_TRUE(h.hardware.allAutomatic());

    Harness both;
    both.hardware.targetFailures[0] = "first";
    both.hardware.autoFailures[1] = "second";
    EXPECT_EQ(both.run(5), "first；恢复自动风扇失败：second");
}

TEST(CoolingLease, RestoreTriesEveryFanAndNamesOnlyTheFailedOnes) {
    FakeCoolingHardware hardware;
    hardware.addFan(0, 1000, 5000).addFan(1, 1000, 5000).addFan(2, 1000, 5000);
    hardware.fan(0).reading.manual = true;
    hardware.fan(1).reading.manual = true;
    hardware.fan(2).reading.manual = true;
    hardware.autoFailures[0] = "风扇 0 无法恢复";
    hardware.autoFailures[2] = "风扇 2 无法恢复";
    try {
        CoolingLease::restoreAuto(hardware, {0, 1, 2});
        FAIL();
    } catch (const ScopeError& e) {
        EXPECT_STREQ(e.what(), "恢复自动风扇失败：风扇 0 无法恢复；风扇 2 无法恢复");
    }
    EXPECT_EQ(hardware.writes(), (std::vector<std::string>{"auto 0", "auto 1", "auto 2"}));
    EXPECT_FALSE(*hardware.fan(1).reading.manual);

    Harness h;
    h.hardware.autoFailures[0] = "风扇 0 无法恢复";
    EXPECT_EQ(h.run(2), "恢复自动风扇失败：风扇 0 无法恢复");
    EXPECT_EQ(h.hardware.writes().back(), "auto 1") << "the second fan is still tried";
}

}  // namespace
