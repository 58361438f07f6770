// The hardware sampler against a fake platform and no SMC service: CPU percentage from the
// tick counters, the platform values and their ranges, reset, the probe's two samples, and
// samples taken from several threads at once.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "CSMCDevice.hpp"
#include "FakeSamplerPlatform.hpp"
#include "pyrelle/HardwareSampler.hpp"

namespace pyrelle {
namespace {

using testing::FakeSamplerPlatform;

class HardwareSamplerPlatform : public ::testing::Test {
protected:
    void SetUp() override { csmc::installDevice(nullptr); }
    std::shared_ptr<FakeSamplerPlatform> platform = std::make_shared<FakeSamplerPlatform>();
};

TEST_F(HardwareSamplerPlatform, CPUPercentageNeedsTwoReadingsAndMovedCounters) {
    HardwareSampler sampler(platform);
    EXPECT_FALSE(sampler.sample().cpuUsage);  // first sample
    EXPECT_FALSE(sampler.sample().cpuUsage);  // counters did not move
    platform->advance(30, 70);
    const auto usage = sampler.sample().cpuUsage;
    ASSERT_TRUE(usage);
    EXPECT_DOUBLE_EQ(*usage, 30.0);
}

TEST_F(HardwareSamplerPlatform, AFailedTickReadKeepsThePreviousCounters) {
    HardwareSampler sampler(platform);
    sampler.sample();
    platform->ticksStatus = 5;
    platform->advance(10, 10);
    EXPECT_FALSE(sampler.sample().cpuUsage);
    platform->ticksStatus = 0;
    platform->advance(10, 30);
    const auto usage = sampler.sample().cpuUsage;
    ASSERT_TRUE(usage);
    EXPECT_DOUBLE_EQ(*usage, 100.0 * 20 / 60);  // measured from the last successful read
}

TEST_F(HardwareSamplerPlatform, OnlyTheLowThirtyTwoBitsOfTheCountersCount) {
    platform->ticks = {0xFFFFFFF0ull, 0, 0, 0};
    HardwareSampler sampler(platform);
    sampler.sample();
    platform->ticks = {0x100000010ull, 0, 32, 0};  // the user counter wrapped past 2^32
    const auto usage = sampler.sample().cpuUsage;
    ASSERT_TRUE(usage);
    EXPECT_DOUBLE_EQ(*usage, 50.0);
}

struct LimitCase {
    PYRPowerStatus power;
    std::optional<int> speed, scheduler, available, warning;
};

class SamplerLimits : public HardwareSamplerPlatform,
                      public ::testing::WithParamInterface<LimitCase> {};

TEST_P(SamplerLimits, OutOfRangeValuesAreAbsent) {
    platform->power = GetParam().power;
    HardwareSampler sampler(platform);
    const Snapshot snapshot = sampler.sample();
    EXPECT_EQ(snapshot.speedLimit, GetParam().speed);
    EXPECT_EQ(snapshot.schedulerLimit, GetParam().scheduler);
    EXPECT_EQ(snapshot.availableCPUs, GetParam().available);
    EXPECT_EQ(snapshot.thermalWarning, GetParam().warning);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, SamplerLimits,
    ::testing::Values(
        LimitCase{{100, 100, 8, 0}, 100, 100, 8, 0}, LimitCase{{0, 0, 0, 10}, 0, 0, 0, 10},
        LimitCase{{120, 101, -1, -1}, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        LimitCase{{-1, -5, 64, 110}, std::nullopt, std::nullopt, 64, 110}));

TEST_F(HardwareSamplerPlatform, PlatformStateIsCarriedOver) {
    platform->ac = 0;
    platform->pressure = 4;
    platform->thermal = 2;
    platform->processors = 14;
    platform->lowPower = true;
    HardwareSampler sampler(platform);
    Snapshot snapshot = sampler.sample();
    EXPECT_EQ(snapshot.acPower, false);
    EXPECT_EQ(snapshot.memoryPressure, MemoryPressure::critical);
    EXPECT_EQ(snapshot.thermalState, 2);
    EXPECT_EQ(snapshot.totalCPUs, 14);
    EXPECT_TRUE(snapshot.lowPower);
    EXPECT_EQ(snapshot.date, platform->date);
    EXPECT_EQ(snapshot.turbo, TurboState::unsupported);

    platform->ac = -1;
    platform->pressure = 3;
    platform->offersLowPower = false;  // a system without the mode never reports it on
    snapshot = sampler.sample();
    EXPECT_FALSE(snapshot.acPower);
    EXPECT_FALSE(snapshot.memoryPressure);
    EXPECT_FALSE(snapshot.lowPower);
    platform->ac = 1;
    EXPECT_EQ(sampler.sample().acPower, true);
}

TEST_F(HardwareSamplerPlatform, WithoutAnSMCEverythingElseIsStillFilled) {
    HardwareSampler sampler(platform);
    const Snapshot snapshot = sampler.sample();
    EXPECT_FALSE(snapshot.smcAvailable);
    EXPECT_TRUE(snapshot.sensors.empty());
    EXPECT_TRUE(snapshot.fans.empty());
    ASSERT_TRUE(snapshot.additionalSensors);
    EXPECT_TRUE(snapshot.additionalSensors->empty());
    EXPECT_EQ(snapshot.speedLimit, 100);
    EXPECT_EQ(snapshot.acPower, true);
}

TEST_F(HardwareSamplerPlatform, ResetForgetsTheCounters) {
    HardwareSampler sampler(platform);
    sampler.sample();
    platform->advance(10, 10);
    EXPECT_TRUE(sampler.sample().cpuUsage);
    sampler.reset();
    platform->advance(10, 10);
    EXPECT_FALSE(sampler.sample().cpuUsage);
    platform->advance(10, 10);
    EXPECT_TRUE(sampler.sample().cpuUsage);
}

TEST_F(HardwareSamplerPlatform, ProbeReturnsTheSecondOfTwoSamplesAQuarterSecondApart) {
    HardwareSampler sampler(platform);
    std::vector<double> pauses;
    const Snapshot snapshot = sampler.probe([&](double seconds) {
        pauses.push_back(seconds);
        platform->advance(25, 75);
    });
    EXPECT_EQ(pauses, std::vector<double>{0.25});
    ASSERT_TRUE(snapshot.cpuUsage);
    EXPECT_DOUBLE_EQ(*snapshot.cpuUsage, 25.0);
    EXPECT_EQ(platform->calls, 2);
}

TEST_F(HardwareSamplerPlatform, SamplesFromSeveralThreadsAreSerialised) {
    HardwareSampler sampler(platform);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                (void)sampler.sample();
                if (i % 17 == 0) sampler.refreshTurbo();
                if (i % 23 == 0) sampler.reset();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(platform->calls, 200);
}

}  // namespace
}  // namespace pyrelle
