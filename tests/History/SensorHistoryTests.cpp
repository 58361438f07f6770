#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "pyrelle/CommonSensorHistory.hpp"
#include "pyrelle/SensorTimeline.hpp"

namespace pyrelle {
namespace {

const Date t0(800'000'000);
Date at(double s) {
    return t0.adding(s);
}

// SensorTimeline

TimelineSample sample(double seconds, std::optional<std::string> mode, TurboState turbo,
                      std::optional<double> cpu, std::optional<double> usage = std::nullopt) {
    TimelineSample s;
    s.snapshot.date = at(seconds);
    s.snapshot.turbo = turbo;
    s.snapshot.cpuUsage = usage;
    if (cpu) s.snapshot.sensors.push_back({"TC0P", "CPU", *cpu});
    s.snapshot.sensors.push_back({"TG0P", "GPU", 40});
    s.mode = std::move(mode);
    return s;
}

constexpr auto allowed = TurboState::driverNotLoaded;

TEST(SensorTimelineTest, LabelsAndSegments) {
    const std::vector<TimelineSample> samples{
        sample(-20, "均衡", allowed, 99),  // before start: no row, no break
        sample(0, "均衡", allowed, 50, 12),
        sample(10, "均衡", allowed, 51),
        sample(26, "均衡", allowed, 52),  // 16 s later
        sample(27, "均衡", allowed, std::nullopt),
        sample(28, "均衡", allowed, 53),  // after a missing temperature
        sample(29, std::nullopt, TurboState::unsupported, 54),
        sample(30, "静音", TurboState::disabledDriverLoaded, 55),
        sample(31, "静音", TurboState::unknown, 56),
        sample(31, "静音", TurboState::unknown, 57),  // not later
    };
    const auto rows = SensorTimeline::records(samples, SensorCategory::cpu, at(-10));
    ASSERT_EQ(rows.size(), 8u);
    std::vector<std::string> labels;
    std::vector<std::int64_t> segments;
    std::vector<double> elapsed;
    std::vector<std::optional<bool>> disabled;
    for (const auto& r : rows) {
        labels.push_back(r.mode);
        segments.push_back(r.segment);
        elapsed.push_back(r.elapsed);
        disabled.push_back(r.turboDisabled);
    }
    EXPECT_EQ(labels,
              (std::vector<std::string>{"均衡 · 允许睿频", "均衡 · 允许睿频", "均衡 · 允许睿频",
                                        "均衡 · 允许睿频", "未确认模式", "静音 · 睿频关闭",
                                        "静音 · 睿频未知", "静音 · 睿频未知"}));
    EXPECT_EQ(segments, (std::vector<std::int64_t>{1, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(elapsed, (std::vector<double>{0, 10, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(disabled, (std::vector<std::optional<bool>>{false, false, false, false, std::nullopt,
                                                          true, std::nullopt, std::nullopt}));
    EXPECT_EQ(rows[0].load, 12.0);
    EXPECT_EQ(rows[0].series(), "均衡 · 允许睿频-1");
    // Another category reads its own sensors.
    EXPECT_EQ(SensorTimeline::records(samples, SensorCategory::gpu, at(-10)).front().temperature,
              40);
    EXPECT_TRUE(SensorTimeline::records(samples, SensorCategory::storage, at(-10)).empty());
}

TEST(SensorTimelineTest, NonFiniteDateBreaksContinuity) {
    std::vector<TimelineSample> samples{sample(0, "a", allowed, 50), sample(1, "a", allowed, 50),
                                        sample(2, "a", allowed, 50)};
    samples[1].snapshot.date = Date(NAN);
    const auto rows = SensorTimeline::records(samples, SensorCategory::cpu, at(-10));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].segment, 2);
}

std::vector<ModeRecord> rows(const std::vector<double>& temperatures) {
    std::vector<ModeRecord> out;
    for (std::size_t i = 0; i < temperatures.size(); ++i)
        out.push_back({at(static_cast<double>(i)), "a", temperatures[i], std::nullopt, 1,
                       static_cast<double>(i), std::nullopt});
    return out;
}

TEST(SensorTimelineTest, DecimatedKeepsPeaks) {
    const auto input = rows({5, 1, 9, 3, 7, 2, 8, 4, 6, 0});
    EXPECT_EQ(SensorTimeline::decimated(input, 3), input);
    EXPECT_EQ(SensorTimeline::decimated(input, -1), input);
    EXPECT_EQ(SensorTimeline::decimated(input, 10), input);
    const auto reduced = SensorTimeline::decimated(input, 4);
    std::vector<double> elapsed;
    for (const auto& r : reduced) elapsed.push_back(r.elapsed);
    EXPECT_EQ(elapsed, (std::vector<double>{0, 1, 2, 6, 7, 9}));
    EXPECT_TRUE(SensorTimeline::decimated({}, 4).empty());
}

// CommonSensorHistory, fed with snapshots of an Apple M4 Pro laptop.

constexpr auto m4Pro = SensorNamingPlatform::appleM4ProMax;

Snapshot m4Snapshot(double seconds, bool withGPU = true, bool withFan1 = true) {
    Snapshot s;
    s.date = at(seconds);
    s.totalCPUs = 14;
    s.sensors = {{"Tp01", "Tp01", 55.5}, {"Te05", "Te05", 48.0}, {"Tm0p", "Tm0p", 41.0}};
    if (withGPU) s.sensors.push_back({"Tg0K", "Tg0K", 44.0 + seconds / 100});
    s.fans.push_back({0, 1800.0, 1200.0, 5000.0, false, true});
    if (withFan1) s.fans.push_back({1, 1900.0, 1200.0, 5000.0, false, true});
    s.additionalSensors =
        std::vector<HardwareSensorReading>{{"PSTR", "PSTR", HardwareSensorKind::power, -20.0}};
    return s;
}

std::vector<std::string> ids(const CommonSensorHistory& h) {
    std::vector<std::string> out;
    for (const auto& r : h.readings()) out.push_back(r.id);
    return out;
}

TEST(CommonSensorHistoryTest, KeepsPlaceAndShowsTheGap) {
    CommonSensorHistory h;
    for (int i = 0; i < 5; ++i) h.record(m4Snapshot(i), m4Pro);
    const auto before = ids(h);
    EXPECT_EQ(before, (std::vector<std::string>{"cpu", "gpu", "memory", "fan:F0Ac", "fan:F1Ac",
                                                "power:PSTR"}));
    EXPECT_EQ(h.order(), before);
    for (int i = 5; i < 15; ++i) {
        h.record(m4Snapshot(i, /*withGPU=*/false), m4Pro);
        EXPECT_EQ(ids(h), before);
        EXPECT_FALSE(h.readings()[1].value);
        EXPECT_EQ(h.readings()[1].sources, std::vector<std::string>{"Tg0K"});
    }
    for (int i = 15; i < 20; ++i) h.record(m4Snapshot(i), m4Pro);
    EXPECT_EQ(ids(h), before);
    EXPECT_TRUE(h.readings()[1].value);

    const auto points = h.points("gpu", 30);
    ASSERT_EQ(points.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        const bool gap = i >= 5 && i < 15;
        EXPECT_EQ(points[i].value.has_value(), !gap) << i;
        const std::int64_t expected = i < 5 ? 0 : (i < 15 ? i - 4 : 11);
        EXPECT_EQ(points[i].segment, expected) << i;
    }
    EXPECT_EQ(h.points("cpu", 30).back().value, 55.5);
    EXPECT_EQ(h.end(), at(19));
}

TEST(CommonSensorHistoryTest, ForgetsSensorsUnseenForMoreThanThirtyMinutes) {
    CommonSensorHistory h;
    h.record(m4Snapshot(0), m4Pro);
    for (int t = 60; t <= 1800; t += 60) h.record(m4Snapshot(t, true, /*withFan1=*/false), m4Pro);
    EXPECT_EQ(ids(h).size(), 6u);  // exactly 1800 s unseen is still known
    EXPECT_FALSE(h.points("fan:F1Ac", 30).empty());
    h.record(m4Snapshot(1801, true, false), m4Pro);
    EXPECT_EQ(ids(h), (std::vector<std::string>{"cpu", "gpu", "memory", "fan:F0Ac", "power:PSTR"}));
    EXPECT_TRUE(h.points("fan:F1Ac", 30).empty());
    // A sensor that returns after being forgotten starts over at the end.
    h.record(m4Snapshot(1802), m4Pro);
    EXPECT_EQ(ids(h).back(), "fan:F1Ac");
    EXPECT_EQ(h.points("fan:F1Ac", 30).size(), 1u);
}

TEST(CommonSensorHistoryTest, IgnoresStaleAndNonFiniteSnapshots) {
    CommonSensorHistory h;
    EXPECT_TRUE(h.points("cpu", 30).empty());
    h.record(m4Snapshot(10), m4Pro);
    h.record(m4Snapshot(10), m4Pro);
    h.record(m4Snapshot(5), m4Pro);
    Snapshot bad = m4Snapshot(20);
    bad.date = Date(NAN);
    h.record(bad, m4Pro);
    EXPECT_EQ(h.points("cpu", 30).size(), 1u);
    EXPECT_EQ(h.end(), at(10));
}

TEST(CommonSensorHistoryTest, SignedValuesOnlyForPowerAndCurrent) {
    CommonSensorHistory h;
    h.record(m4Snapshot(0), m4Pro);
    EXPECT_EQ(h.points("power:PSTR", 1).front().value, -20.0);
    Snapshot s = m4Snapshot(1);
    s.fans[0].rpm = -5;  // invalid for a fan: absent
    h.record(s, m4Pro);
    EXPECT_FALSE(h.points("fan:F0Ac", 1).back().value);
}

TEST(CommonSensorHistoryTest, PointsWindowIsOneToThirtyMinutes) {
    CommonSensorHistory h;
    for (int t = 0; t <= 2400; t += 10) h.record(m4Snapshot(t), m4Pro);
    EXPECT_EQ(h.points("cpu", 0).size(), 7u);  // 60 s, both ends
    EXPECT_EQ(h.points("cpu", 1).size(), 7u);
    EXPECT_EQ(h.points("cpu", 5).size(), 31u);
    EXPECT_EQ(h.points("cpu", 120).size(), 181u);  // 1800 s
    EXPECT_EQ(h.points("cpu", -3).size(), 7u);
    EXPECT_TRUE(h.points("nothing", 30).empty());
}

}  // namespace
}  // namespace pyrelle
