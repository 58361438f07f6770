#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "pyrelle/ModeHistory.hpp"
#include "pyrelle/SensorTimeline.hpp"
#include "pyrelle/TurboHistory.hpp"

namespace pyrelle {
namespace {

const Date t0(800'000'000);
Date at(double s) {
    return t0.adding(s);
}
const std::optional<std::string> none;

std::vector<std::int64_t> segmentsOf(const ModeHistory& h) {
    std::vector<std::int64_t> out;
    for (const auto& r : h.records()) out.push_back(r.segment);
    return out;
}

std::vector<double> elapsedOf(const ModeHistory& h) {
    std::vector<double> out;
    for (const auto& r : h.records()) out.push_back(r.elapsed);
    return out;
}

TEST(ModeHistoryTest, SegmentsFollowModeSessionAndTime) {
    ModeHistory h(at(-100));
    h.append(at(0), "静音", "s1", 50, 10);
    h.append(at(10), "静音", "s1", 51, 12);            // same stretch
    h.append(at(26), "静音", "s1", 52, std::nullopt);  // 16 s later: new
    h.append(at(30), "静音", "s2", 53, 1);             // other session: new
    h.append(at(31), "静音", none, 53, 1);             // session gone: new
    h.append(at(32), "静音", none, 53, 1);             // both absent: continues
    h.append(at(33), "均衡", none, 53, 1);             // mode changed: new
    h.append(at(33), "均衡", none, 54, 1);             // same date: not later, new
    EXPECT_EQ(segmentsOf(h), (std::vector<std::int64_t>{1, 1, 2, 3, 4, 4, 5, 6}));
    EXPECT_EQ(elapsedOf(h), (std::vector<double>{0, 10, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(h.records()[0].series(), "静音-1");
    EXPECT_EQ(h.records()[0].load, 10.0);
    EXPECT_FALSE(h.records()[0].turboDisabled);
    EXPECT_EQ(h.origin(), at(33));
}

TEST(ModeHistoryTest, UnusableSampleBreaksTheStretchButKeepsSession) {
    ModeHistory h(at(0));
    h.append(at(0), "静音", "s", 50, 1);
    h.append(at(1), "静音", "s", std::nullopt, 1);
    h.append(at(2), "静音", "s", NAN, 1);
    h.append(at(3), none, "s", 50, 1);
    h.append(at(4), "静音", "s", 50, 1);
    h.append(Date(NAN), "静音", "s", 50, 1);
    h.append(at(5), "静音", "s", 50, 1);
    EXPECT_EQ(segmentsOf(h), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(h.lastSession(), "s");
    EXPECT_EQ(h.lastDate(), at(5));
}

TEST(ModeHistoryTest, OldRecordsLeaveEvenOnRejectedAppend) {
    ModeHistory h(at(0));
    for (int i = 0; i < 100; ++i) h.append(at(i * 10), "静音", none, 50, std::nullopt);
    ASSERT_EQ(h.records().size(), 100u);
    h.append(at(2700), "静音", none, std::nullopt, std::nullopt);  // rejected, still trims
    ASSERT_EQ(h.records().size(), 10u);
    EXPECT_EQ(h.records().front().date, at(900));  // exactly 30 minutes old stays
}

TEST(ModeHistoryTest, DatesGoingBackwardStillTrimCorrectly) {
    ModeHistory h(at(0));
    h.append(at(1000), "a", none, 50, std::nullopt);
    h.append(at(10), "a", none, 50, std::nullopt);  // earlier: stored, new segment
    h.append(at(2000), "a", none, 50, std::nullopt);
    h.append(at(2500), "a", none, 50, std::nullopt);
    std::vector<double> dates;
    for (const auto& r : h.records()) dates.push_back(r.date.secondsSince(t0));
    EXPECT_EQ(dates, (std::vector<double>{1000, 2000, 2500}));
}

TEST(ModeHistoryTest, LongRunKeepsThirtyMinutes) {
    ModeHistory h(at(0));
    for (int i = 0; i < 10000; ++i) h.append(at(i), "a", none, 50, std::nullopt);
    ASSERT_EQ(h.records().size(), 1801u);
    EXPECT_EQ(h.records().front().date, at(10000 - 1 - 1800));
    EXPECT_EQ(h.records().back().elapsed, 9999);
}

Snapshot snapshot(double seconds, TurboState turbo, std::optional<double> cpu,
                  std::optional<double> usage = std::nullopt) {
    Snapshot s;
    s.date = at(seconds);
    s.turbo = turbo;
    s.cpuUsage = usage;
    if (cpu) s.sensors.push_back({"TC0P", "CPU", *cpu});
    s.sensors.push_back({"TG0P", "GPU", 99});
    return s;
}

constexpr auto on = TurboState::driverNotLoaded;
constexpr auto off = TurboState::disabledDriverLoaded;

TEST(TurboHistoryTest, PointsSegmentByModeAndTime) {
    const std::vector<Snapshot> snapshots{
        snapshot(0, on, 50, 10),
        snapshot(5, on, 52),
        snapshot(10, off, 48, 20),
        snapshot(15, off, 47),
        snapshot(15, off, 47),  // equal date: new stretch
        snapshot(40, off, 46),  // beyond the gap
        snapshot(41, TurboState::unknown, 46),
        snapshot(42, off, 46),  // unknown breaks
        snapshot(43, off, std::nullopt),
        snapshot(44, off, 46),  // no temperature breaks
        snapshot(45, off, NAN),
    };
    const auto points = TurboHistory::points(snapshots, 20);
    std::vector<std::int64_t> segments;
    std::vector<double> elapsed;
    for (const auto& p : points) {
        segments.push_back(p.segment);
        elapsed.push_back(p.elapsed);
    }
    EXPECT_EQ(segments, (std::vector<std::int64_t>{1, 1, 2, 2, 3, 4, 5, 6}));
    EXPECT_EQ(elapsed, (std::vector<double>{0, 5, 0, 5, 0, 0, 0, 0}));
    EXPECT_EQ(points[0].mode, RecordedTurboMode::on);
    EXPECT_EQ(points[2].mode, RecordedTurboMode::off);
    EXPECT_EQ(points[0].cpuLoad, 10.0);
    EXPECT_EQ(points[0].celsius, 50);
    EXPECT_EQ(points[0].series(), "开启睿频-1");
    EXPECT_EQ(points[2].series(), "关闭睿频-2");
}

TEST(TurboHistoryTest, NonFiniteDateBreaksInsteadOfJoining) {
    std::vector<Snapshot> snapshots{snapshot(0, on, 50), snapshot(1, on, 50), snapshot(2, on, 50)};
    snapshots[1].date = Date(NAN);
    const auto points = TurboHistory::points(snapshots, 20);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1].segment, 2);
}

TEST(TurboHistoryTest, TransitionsIgnoreChangesAcrossUnknownState) {
    const std::vector<Snapshot> snapshots{snapshot(0, on, 50),
                                          snapshot(1, off, 50),
                                          snapshot(2, off, std::nullopt),
                                          snapshot(3, TurboState::unsupported, 50),
                                          snapshot(4, on, 50),
                                          snapshot(5, off, 50)};
    const auto transitions = TurboHistory::transitions(snapshots);
    EXPECT_EQ(transitions, (std::vector<TurboTransition>{{at(1), RecordedTurboMode::off},
                                                         {at(5), RecordedTurboMode::off}}));
}

TEST(TurboHistoryTest, Summary) {
    const std::vector<TemperaturePoint> points{
        {at(0), 0, 50, 10.0, RecordedTurboMode::on, 1},
        {at(1), 1, 60, std::nullopt, RecordedTurboMode::on, 1},
        {at(2), 2, 58, 30.0, RecordedTurboMode::on, 1},
        {at(3), 0, 40, std::nullopt, RecordedTurboMode::off, 2},
    };
    EXPECT_EQ(TurboHistory::summary(points, RecordedTurboMode::on),
              (TemperatureSummary{3, 56.0, 60.0, 20.0}));
    EXPECT_EQ(TurboHistory::summary(points, RecordedTurboMode::off),
              (TemperatureSummary{1, 40.0, 40.0, std::nullopt}));
    EXPECT_EQ(TurboHistory::summary({}, RecordedTurboMode::off), (TemperatureSummary{}));
}

// The rule the sensor timeline, the mode history and the turbo history share: a later sample
// continues the stretch when it is at most 15 s after the previous one, exactly 15 s
// included; one that is not later never does.
struct ContinuityCase {
    const char* name;
    double gap;
    bool continues;
};

class ContinuityBoundary : public ::testing::TestWithParam<ContinuityCase> {};

TEST_P(ContinuityBoundary, TimelineModeAndTurboHistoriesAgree) {
    const double gap = GetParam().gap;
    const std::int64_t segment = GetParam().continues ? 1 : 2;
    const double elapsed = GetParam().continues ? gap : 0;

    ModeHistory modes(at(-100));
    modes.append(at(0), "静音", "s", 50, std::nullopt);
    modes.append(at(gap), "静音", "s", 51, std::nullopt);
    EXPECT_EQ(segmentsOf(modes), (std::vector<std::int64_t>{1, segment}));
    EXPECT_EQ(elapsedOf(modes), (std::vector<double>{0, elapsed}));

    const std::vector<Snapshot> snapshots{snapshot(0, on, 50), snapshot(gap, on, 51)};
    const auto points = TurboHistory::points(snapshots, 15);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1].segment, segment);
    EXPECT_EQ(points[1].elapsed, elapsed);

    const std::vector<TimelineSample> samples{{snapshots[0], "静音"}, {snapshots[1], "静音"}};
    const auto rows = SensorTimeline::records(samples, SensorCategory::cpu, at(-100));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].segment, segment);
    EXPECT_EQ(rows[1].elapsed, elapsed);
}

INSTANTIATE_TEST_SUITE_P(Gaps, ContinuityBoundary,
                         ::testing::Values(ContinuityCase{"WellWithin", 1, true},
                                           ContinuityCase{"ExactlyFifteenSeconds", 15, true},
                                           ContinuityCase{"JustOverFifteenSeconds", 15.001, false},
                                           ContinuityCase{"NotLater", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TemperaturePointTest, IdIsSegmentAndShortestUnixSeconds) {
    TemperaturePoint p{Date::fromUnixTime(1700000000), 0, 50, std::nullopt,
                       RecordedTurboMode::on,          3};
    EXPECT_EQ(p.id(), "3-1700000000.0");
    p.date = Date::fromUnixTime(1700000000.5);
    EXPECT_EQ(p.id(), "3-1700000000.5");
    p.date = Date::fromUnixTime(1700000000.1);
    const std::string id = p.id();
    // Reads back to the same instant.
    EXPECT_EQ(std::stod(id.substr(2)), Date::fromUnixTime(1700000000.1).unixTime());
    EXPECT_LE(id.size(), 2 + 18u);
    EXPECT_EQ(toText(RecordedTurboMode::off), "关闭睿频");
    EXPECT_EQ(recordedTurboMode(TurboState::unknown), std::nullopt);
    EXPECT_EQ(recordedTurboMode(on), RecordedTurboMode::on);
}

}  // namespace
}  // namespace pyrelle
