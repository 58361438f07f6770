// The curve lease's cycle: protection, smoothing, the 30-rpm write threshold, the 3-rpm
// verification against the last written value, and the restore on every path.
#include <gtest/gtest.h>

#include <cmath>

#include "pyrelle/CurveLease.hpp"
#include "pyrelle/ScopeError.hpp"
#include "support/FakeClock.hpp"
#include "support/FakeCoolingHardware.hpp"

namespace {

using namespace pyrelle;
using pyrelle::testing::FakeClock;
using pyrelle::testing::FakeCoolingHardware;

struct Harness {
    FakeCoolingHardware hardware;
    FakeClock clock;
    bool cancelled = false;
    int cycles = 0;
    // The control temperature of each sample, by cycle; the last one repeats.
    std::vector<double> temperatures{60};
    std::optional<double> gpu;
    bool cpuPresent = true;
    std::vector<FanControlProgress> progress;
    int applied = 0;

    Harness() { hardware.addFan(0, 1000, 5000, 1000).addFan(1, 1200, 6000, 1200); }

    Snapshot sample() {
        Snapshot s;
        const double t = temperatures[std::min<size_t>(cycles, temperatures.size() - 1)];
        if (cpuPresent) s.sensors.push_back({"TC0P", "CPU", t});
        if (gpu) s.sensors.push_back({"TG0P", "GPU", *gpu});
        return s;
    }

    std::string run(const FanCurve& curve, double duration) {
        try {
            CurveLease::run(
                hardware, curve, duration, [this] { return sample(); },
                [this] { return clock.now(); }, [this] { return cancelled; },
                [this] {
                    ++cycles;
                    clock.pause(2);
                },
                {[this](const FanControlProgress& p) { progress.push_back(p); },
                 [this] { ++applied; }});
            return "";
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    std::vector<double> percents() const {
        std::vector<double> result;
        for (const auto& p : progress) result.push_back((p.targets[0].rpm - 1000) / 40);
        return result;
    }
};

TEST(CurveLease, FirstCycleWritesEveryFanThenOnlyLargeChanges) {
    Harness h;
    h.temperatures = {70};  // balanced: 55 %
    EXPECT_EQ(h.run(FanCurve::balanced(), 6), "");
    EXPECT_EQ(h.hardware.writes(),
              (std::vector<std::string>{"manual 0", "target 0 3200", "manual 1", "target 1 3840",
                                        "auto 0", "auto 1"}));
    EXPECT_EQ(h.cycles, 3);
    EXPECT_EQ(h.applied, 1);
    ASSERT_EQ(h.progress.size(), 3u);
    EXPECT_EQ(h.progress[0].deadline, 1006);
    EXPECT_EQ(h.progress[0].targets, (std::vector<FanTarget>{{0, 3200}, {1, 3840}}));
    EXPECT_FALSE(h.progress[0].protectionActive);
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(CurveLease, FallingTemperatureLowersFourPointsPerCycle) {
    Harness h;
    h.temperatures = {80, 55};
    EXPECT_EQ(h.run(FanCurve::balanced(), 40), "");
    const auto p = h.percents();
    ASSERT_GE(p.size(), 16u);
    const std::vector<double> expected = {80, 76, 72, 68, 64, 60, 56, 52,
                                          48, 44, 40, 36, 32, 28, 25, 25};
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(p[i], expected[i], 1e-9) << i;
}

TEST(CurveLease, ProtectionForcesFullSpeedThenFallsBackGradually) {
    Harness h;
    h.temperatures = {60, 92, 60};  // 60 °C → 35 %
    EXPECT_EQ(h.run(FanCurve::balanced(), 10), "");
    ASSERT_GE(h.progress.size(), 4u);
    EXPECT_NEAR(h.percents()[0], 35, 1e-9);
    EXPECT_TRUE(h.progress[1].protectionActive);
    EXPECT_NEAR(h.percents()[1], 100, 1e-9);
    EXPECT_FALSE(h.progress[2].protectionActive);
    EXPECT_NEAR(h.percents()[2], 96, 1e-9);
    EXPECT_NEAR(h.percents()[3], 92, 1e-9);
}

TEST(CurveLease, SmallChangesAreNotWrittenAndVerifyAgainstTheOlderValue) {
    Harness h;
    // 70 °C → 55 % → fan 0 at 3200; 70.2 °C moves fan 0 by 24 rpm and fan 1 by 28.8 rpm.
    h.temperatures = {70, 70.2};
    h.hardware.readBackOffset[0] = 0;
    h.clock.onPause([&h](double) {
        // From the second cycle on, a read-back 2.9 rpm off the written value still passes.
        if (h.cycles == 1) h.hardware.readBackOffset[0] = 2.9;
    });
    EXPECT_EQ(h.run(FanCurve::balanced(), 6), "");
    EXPECT_EQ(h.hardware.writes().size(), 6u) << "no target written after the first cycle";
    for (const auto& p : h.progress) EXPECT_EQ(p.targets[0].rpm, 3200);
}

TEST(CurveLease, ReadBackOffByThreeStopsThroughTheRestore) {
    Harness h;
    h.temperatures = {70};
    h.clock.onPause([&h](double) { h.hardware.readBackOffset[1] = 3; });
    EXPECT_EQ(h.run(FanCurve::balanced(), 60), "风扇控制被改变或无法读取，已停止曲线");
    EXPECT_EQ(h.cycles, 1);
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(CurveLease, AnotherProgramTakingAFanBackIsDetected) {
    Harness h;
    h.clock.onPause([&h](double) {
        if (h.cycles == 2) h.hardware.fan(1).reading.manual = false;
    });
    EXPECT_EQ(h.run(FanCurve::balanced(), 60), "风扇控制被改变或无法读取，已停止曲线");
    EXPECT_EQ(h.hardware.writes().back(), "auto 1");
    EXPECT_TRUE(h.hardware.allAutomatic());
}

TEST(CurveLease, MissingSensorStopsInTheFirstCycleAndStillRestores) {
    Harness h;
    h.cpuPresent = false;
    h.gpu = 60;
    const FanCurve gpuCurve{{{40, 10}, {90, 100}}, CurveSensor::gpu};
    EXPECT_EQ(h.run(gpuCurve, 60), "控制温度传感器不可用，已停止曲线并恢复系统自动");
    EXPECT_EQ(h.hardware.writes(), (std::vector<std::string>{"auto 0", "auto 1"}));

    Harness noGpu;
    EXPECT_EQ(noGpu.run(gpuCurve, 60), "控制温度传感器不可用，已停止曲线并恢复系统自动");
}

TEST(CurveLease, CancellationBeforeTheFirstWriteTouchesNothing) {
    Harness h;
    h.cancelled = true;
    EXPECT_EQ(h.run(FanCurve::balanced(), 60), "");
    EXPECT_TRUE(h.hardware.log.empty());

    Harness later;
    later.clock.onPause([&later](double) {
        if (later.cycles == 3) later.cancelled = true;
    });
    EXPECT_EQ(later.run(FanCurve::balanced(), 1800), "");
    EXPECT_EQ(later.cycles, 3);
    EXPECT_TRUE(later.hardware.allAutomatic());
}

struct StartCase {
    const char* name;
    std::function<void(Harness&)> arrange;
    double duration;
    std::string error;
};

class StartChecks : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartChecks, RefuseBeforeAnyWrite) {
    Harness h;
    GetParam().arrange(h);
    EXPECT_EQ(h.run(FanCurve::balanced(), GetParam().duration), GetParam().error);
    EXPECT_TRUE(h.hardware.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartChecks,
    ::testing::Values(
        StartCase{"Duration1800Accepted", [](Harness& h) { h.cancelled = true; }, 1800, ""},
        StartCase{"DurationOver1800", [](Harness&) {}, 1800.5, "曲线会话最长 30 分钟"},
        StartCase{"NoFans",
                  [](Harness& h) {
                      h.hardware.hidden = {0, 1};
                  },
                  60, "请先恢复系统自动风扇并退出其他控制程序"},
        StartCase{"ManualFan", [](Harness& h) { h.hardware.fan(1).reading.manual = true; }, 60,
                  "请先恢复系统自动风扇并退出其他控制程序"},
        StartCase{"NoRange", [](Harness& h) { h.hardware.fan(1).reading.minimum.reset(); }, 60,
                  "请先恢复系统自动风扇并退出其他控制程序"},
        StartCase{"MinimumZero",
                  [](Harness& h) {
                      h.hardware.fan(0).reading.minimum = 0;
                      h.hardware.fan(0).target = 0;
                  },
                  60, "无法验证风扇额定范围"},
        StartCase{"MaximumOver12000", [](Harness& h) { h.hardware.fan(0).reading.maximum = 12001; },
                  60, "无法验证风扇额定范围"},
        StartCase{"TargetOutside", [](Harness& h) { h.hardware.fan(0).target = 999; }, 60,
                  "风扇当前目标转速无法验证，已拒绝切换手动模式"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CurveLease, InvalidCurveIsRefusedWithItsOwnMessage) {
    Harness h;
    EXPECT_EQ(h.run(FanCurve::manual(50), 60), "最后一个点必须在 90°C 或更低达到 100% 转速");
    EXPECT_TRUE(h.hardware.log.empty());
}

TEST(CurveLease, WriteAndRestoreFailuresAreJoined) {
    Harness h;
    h.hardware.manualFailures[1] = "SMC F1Md 写入失败（130）；此机型可能不支持控制";
    h.hardware.autoFailures[0] = "风扇 0 无法恢复";
    EXPECT_EQ(h.run(FanCurve::balanced(), 60),
              "SMC F1Md 写入失败（130）；此机型可能不支持控制；恢复自动风扇失败：风扇 0 无法恢复");
    EXPECT_EQ(h.hardware.writes().back(), "auto 1");
}

TEST(CurveLease, FanTargetsAreSortedById) {
    EXPECT_EQ(CurveLease::fanTargets({{2, 10}, {0, 30}, {1, 20}}),
              (std::vector<FanTarget>{{0, 30}, {1, 20}, {2, 10}}));
}

}  // namespace
