#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "pyrelle/MetricHistory.hpp"
#include "pyrelle/MetricPlot.hpp"

namespace pyrelle {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
const Date t0(800'000'000);

Date at(double seconds) {
    return t0.adding(seconds);
}

std::vector<std::int64_t> segments(const MetricHistory& h) {
    std::vector<std::int64_t> out;
    for (const auto& p : h.points()) out.push_back(p.segment);
    return out;
}

TEST(MetricHistoryTest, IgnoresRepeatedEarlierAndNonFiniteDates) {
    MetricHistory h(5, false);
    h.append(1, at(10));
    h.append(2, at(10));
    h.append(3, at(9));
    h.append(4, Date(nan));
    h.append(5, Date(inf));
    ASSERT_EQ(h.points().size(), 1u);
    EXPECT_EQ(h.points()[0].value, 1.0);
    EXPECT_EQ(h.segment(), 0);
}

struct GapCase {
    const char* name;
    double gap;
    std::vector<std::int64_t> expected;
};

class SegmentGapTest : public ::testing::TestWithParam<GapCase> {};

TEST_P(SegmentGapTest, BreaksOnlyBeyondMaximumGap) {
    MetricHistory h(5, false);
    h.append(1, at(0));
    h.append(2, at(GetParam().gap));
    EXPECT_EQ(segments(h), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Gaps, SegmentGapTest,
                         ::testing::Values(GapCase{"exactlyMaximum", 5.0, {0, 0}},
                                           GapCase{"justOver", 5.1, {0, 1}},
                                           GapCase{"aMillisecondOver", 5.001, {0, 1}},
                                           GapCase{"short", 1.0, {0, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MetricHistoryTest, AbsentValueGetsItsOwnSegment) {
    MetricHistory h(5, false);
    h.append(1, at(0));
    h.append(std::nullopt, at(1));
    h.append(3, at(2));
    h.append(4, at(3));
    EXPECT_EQ(segments(h), (std::vector<std::int64_t>{0, 1, 2, 2}));
}

struct CleanCase {
    const char* name;
    bool allowsNegative;
    double input;
    std::optional<double> stored;
};

class CleaningTest : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleaningTest, StoresCleanedValue) {
    const auto& c = GetParam();
    MetricHistory h(15, c.allowsNegative);
    h.append(c.input, at(0));
    ASSERT_EQ(h.points().size(), 1u);
    EXPECT_EQ(h.points()[0].value, c.stored);
}

INSTANTIATE_TEST_SUITE_P(Values, CleaningTest,
                         ::testing::Values(CleanCase{"negativeRejected", false, -3, std::nullopt},
                                           CleanCase{"negativeAllowed", true, -3, -3.0},
                                           CleanCase{"infinityRejected", true, inf, std::nullopt},
                                           CleanCase{"nanRejected", true, nan, std::nullopt},
                                           CleanCase{"zeroKept", false, 0, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MetricHistoryTest, TrimsToThousandPoints) {
    MetricHistory h(5, false);
    for (int i = 0; i < 1001; ++i) h.append(i, at(i));
    ASSERT_EQ(h.points().size(), 1000u);
    EXPECT_EQ(h.points().front().date, at(1));
    EXPECT_EQ(h.points().back().date, at(1000));
}

TEST(MetricHistoryTest, TrimsByAgeKeepingTheBoundary) {
    MetricHistory h(100, false);
    for (int minute = 0; minute <= 31; ++minute) h.append(minute, at(minute * 60.0));
    // The newest is at 1860 s; points before 60 s are gone, the one at exactly 60 s stays.
    ASSERT_EQ(h.points().size(), 31u);
    EXPECT_EQ(h.points().front().date, at(60));
}

TEST(MetricHistoryTest, SegmentNumbersSurviveTrimmingAndLongRuns) {
    MetricHistory h(0.5, false);
    // Every sample breaks the segment; after far more appends than the storage holds, the
    // points are still the newest 1000 with unique, increasing segment numbers.
    for (int i = 0; i < 5000; ++i) h.append(i, at(i));
    const auto points = h.points();
    ASSERT_EQ(points.size(), 1000u);
    EXPECT_EQ(points.front().date, at(4000));
    EXPECT_EQ(points.back().segment, 4999);
    for (std::size_t i = 1; i < points.size(); ++i) {
        EXPECT_LT(points[i - 1].date, points[i].date);
        EXPECT_EQ(points[i].segment, points[i - 1].segment + 1);
    }
}

TEST(MetricHistoryTest, WindowClampsItsSpan) {
    MetricHistory h(5, false);
    for (int i = 0; i <= 2000; i += 1) h.append(i, at(i));  // trimmed to 1000 points
    const Date end = at(2000);
    EXPECT_EQ(h.window(end, 0).size(), 2u);  // 1999 and 2000, both ends inclusive
    EXPECT_EQ(h.window(end, 10).size(), 11u);
    EXPECT_EQ(h.window(end, 7200).size(), 1000u);  // at most what is kept
    EXPECT_EQ(h.window(end, nan).size(), 1000u);
    EXPECT_EQ(h.window(at(1500), 5).front().date, at(1495));
    EXPECT_EQ(h.window(at(1500), 5).back().date, at(1500));
    EXPECT_TRUE(h.window(Date(nan), 60).empty());
    EXPECT_TRUE(h.window(at(100), 60).empty());
    EXPECT_TRUE(MetricHistory(5, false).window(end, 60).empty());
}

// decimated

std::vector<MetricPoint> series(const std::vector<double>& values, std::int64_t segment = 0) {
    std::vector<MetricPoint> out;
    for (std::size_t i = 0; i < values.size(); ++i)
        out.push_back({at(static_cast<double>(i)), values[i], segment});
    return out;
}

std::vector<double> datesOf(const std::vector<MetricPoint>& points) {
    std::vector<double> out;
    for (const auto& p : points) out.push_back(p.date.secondsSince(t0));
    return out;
}

TEST(DecimatedTest, SmallBudgetsAndFittingInputsReturnValuedPoints) {
    auto points = series({5, 1, 9, 3, 7, 2, 8, 4, 6, 0});
    points[4].value.reset();
    for (int budget : {3, 0, -7, 9, 100}) {
        const auto result = MetricPlot::decimated(points, budget);
        EXPECT_EQ(datesOf(result), (std::vector<double>{0, 1, 2, 3, 5, 6, 7, 8, 9})) << budget;
    }
    EXPECT_TRUE(MetricPlot::decimated({}, 120).empty());
}

TEST(DecimatedTest, BudgetFourKeepsEndsAndChunkExtremes) {
    // b = 5: point 0, min/max of 1...5, min/max of 6...8, point 9.
    const auto points = series({5, 1, 9, 3, 7, 2, 8, 4, 6, 0});
    EXPECT_EQ(datesOf(MetricPlot::decimated(points, 4)), (std::vector<double>{0, 1, 2, 6, 7, 9}));
    // Max before min within a chunk is still emitted in date order; ties take the first.
    const auto descending = series({0, 9, 9, 1, 1, 5, 4, 4, 4, 0});
    EXPECT_EQ(datesOf(MetricPlot::decimated(descending, 4)), (std::vector<double>{0, 1, 3, 6, 9}));
}

TEST(DecimatedTest, SegmentsKeepTheirEnds) {
    auto points = series({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    for (std::size_t i = 6; i < points.size(); ++i) points[i].segment = 1;
    points[11].segment = 2;  // a one-point segment is emitted once
    // count 12, budget 4 → b = 6: each segment emits first, chunk extremes, last.
    EXPECT_EQ(datesOf(MetricPlot::decimated(points, 4)),
              (std::vector<double>{0, 1, 4, 5, 6, 7, 9, 10, 11}));
}

TEST(DecimatedTest, ThousandPointsToBudget120StayWithinBound) {
    std::vector<double> values;
    for (int i = 0; i < 1000; ++i) values.push_back(std::sin(i * 0.1) * 50 + 50);
    const auto result = MetricPlot::decimated(series(values), 120);
    EXPECT_LE(result.size(), 128u);
    EXPECT_GT(result.size(), 100u);
    EXPECT_EQ(result.front().date, at(0));
    EXPECT_EQ(result.back().date, at(999));
}

TEST(NearestTest, PicksClosestValuedPoint) {
    auto points = series({1, 2, 3, 4});
    points[2].value.reset();
    EXPECT_EQ(MetricPlot::nearest(points, at(1.5), 1)->date, at(1));  // tie: the earlier
    EXPECT_EQ(MetricPlot::nearest(points, at(2.2), 1)->date, at(3));  // 2 has no value
    EXPECT_EQ(MetricPlot::nearest(points, at(2.0), 1)->date, at(1));  // tie of 1 and 3
    EXPECT_EQ(MetricPlot::nearest(points, at(8), 5)->date, at(3));    // distance inclusive
    EXPECT_FALSE(MetricPlot::nearest(points, at(8), 4.9));
    EXPECT_FALSE(MetricPlot::nearest(points, at(1), -1));
    EXPECT_FALSE(MetricPlot::nearest(points, at(1), nan));
    EXPECT_FALSE(MetricPlot::nearest(points, at(1), inf));
    EXPECT_FALSE(MetricPlot::nearest(points, Date(nan), 10));
    EXPECT_FALSE(MetricPlot::nearest({}, at(1), 10));
}

struct ScaleCase {
    const char* name;
    std::vector<double> values;
    bool automatic;
    double baseline, upper;
    ClosedRange expected;
};

class ScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleTest, ChoosesRange) {
    const auto& c = GetParam();
    EXPECT_EQ(MetricPlot::scale(c.values, c.automatic, c.baseline, c.upper), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ScaleTest,
    ::testing::Values(
        ScaleCase{"temperatures", {40, 42}, true, 0, 100, {36, 46}},
        ScaleCase{"fanSpeeds", {2000, 2100}, true, 0, 6000, {1800, 2300}},
        ScaleCase{"wideTemperatures", {20, 80}, true, 0, 100, {12, 88}},  // half 30 + 7.2
        ScaleCase{"neverBelowZero", {0, 10}, true, 0, 100, {0, 12}},
        ScaleCase{"emptyAutomatic", {}, true, 0, 100, {0, 100}},
        ScaleCase{"onlyInvalidValues", {-1, nan, inf}, true, 0, 100, {0, 100}},
        ScaleCase{"manualSpansBaselineAndUpper", {40, 120}, false, 0, 100, {0, 120}},
        ScaleCase{"ignoresNegativeAndNonFinite", {-5, 50, nan}, false, 10, 100, {10, 100}},
        ScaleCase{"reversedBoundsAreOrdered", {}, false, 100, 0, {0, 100}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pyrelle
