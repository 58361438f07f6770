#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pyrelle/CPULoadBands.hpp"

namespace pyrelle {
namespace {

using L = CPULoadLevel;
const Date t0(800'000'000);
Date at(double s) {
    return t0.adding(s);
}

std::vector<MetricPoint> everySecond(const std::vector<std::optional<double>>& values) {
    std::vector<MetricPoint> out;
    for (std::size_t i = 0; i < values.size(); ++i)
        out.push_back({at(static_cast<double>(i)), values[i], 0});
    return out;
}

std::vector<L> levels(const std::vector<MetricPoint>& points) {
    std::vector<L> out;
    for (const auto& s : CPULoadBands::samples(points)) out.push_back(s.level);
    return out;
}

TEST(CPULoadBandsTest, BaseLevel) {
    EXPECT_EQ(CPULoadBands::baseLevel(100), L::elevated);
    EXPECT_EQ(CPULoadBands::baseLevel(70), L::elevated);
    EXPECT_EQ(CPULoadBands::baseLevel(69.99), L::normal);
    EXPECT_EQ(CPULoadBands::baseLevel(0), L::normal);
    for (std::optional<double> bad : {std::optional<double>(100.1), std::optional<double>(-0.5),
                                      std::optional<double>(), std::optional<double>(NAN)})
        EXPECT_EQ(CPULoadBands::baseLevel(bad), L::unknown);
    EXPECT_LT(L::unknown, L::normal);
    EXPECT_LT(L::elevated, L::critical);
    EXPECT_EQ(cpuLoadLevel(2), L::critical);
    EXPECT_FALSE(cpuLoadLevel(3));
    EXPECT_FALSE(cpuLoadLevel(-2));
}

TEST(CPULoadBandsTest, CriticalNeedsTenSustainedSeconds) {
    std::vector<std::optional<double>> values;
    for (int i = 0; i < 12; ++i) values.push_back(92 + i * 0.5);
    std::vector<L> expected(10, L::elevated);
    expected.push_back(L::critical);
    expected.push_back(L::critical);
    EXPECT_EQ(levels(everySecond(values)), expected);
}

struct RestartCase {
    const char* name;
    std::vector<MetricPoint> points;
    std::vector<L> expected;
};

std::vector<MetricPoint> highWith(int breakAt, std::optional<double> breakValue, double shift,
                                  std::int64_t breakSegment) {
    std::vector<MetricPoint> out;
    for (int i = 0; i < 16; ++i) {
        MetricPoint p{at(i + (i >= breakAt ? shift : 0)), 95.0, i >= breakAt ? breakSegment : 0};
        if (i == breakAt) p.value = breakValue;
        out.push_back(p);
    }
    return out;
}

class RestartTest : public ::testing::TestWithParam<RestartCase> {};

TEST_P(RestartTest, CountRestarts) {
    EXPECT_EQ(levels(GetParam().points), GetParam().expected);
}

// Breaking at index 5: points 0-4 are elevated, the break itself, then ten more elevated from
// the first point after the break (or from the break point when it is high).
INSTANTIATE_TEST_SUITE_P(
    Breaks, RestartTest,
    ::testing::Values(
        // Without the restart, the sample at 10 s would already be critical.
        RestartCase{"dipBelowNinety", highWith(5, 89, 0, 0), std::vector<L>(16, L::elevated)},
        RestartCase{"missingValue",
                    highWith(5, std::nullopt, 0, 0),
                    {L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::unknown,
                     L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::elevated,
                     L::elevated, L::elevated, L::elevated, L::elevated}},
        RestartCase{"gapOfSixteenSeconds",
                    highWith(5, 95, 15, 0),
                    {L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::elevated,
                     L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::elevated,
                     L::elevated, L::elevated, L::elevated, L::critical}},
        RestartCase{"newSegment",
                    highWith(5, 95, 0, 1),
                    {L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::elevated,
                     L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::elevated,
                     L::elevated, L::elevated, L::elevated, L::critical}},
        RestartCase{"gapOfFifteenSecondsContinues",
                    highWith(5, 95, 14, 0),
                    {L::elevated, L::elevated, L::elevated, L::elevated, L::elevated, L::critical,
                     L::critical, L::critical, L::critical, L::critical, L::critical, L::critical,
                     L::critical, L::critical, L::critical, L::critical}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CPULoadBandsTest, NonFiniteDateIsUnknown) {
    auto points = everySecond({50, 50, 50});
    points[1].date = Date(NAN);
    EXPECT_EQ(levels(points), (std::vector<L>{L::normal, L::unknown, L::normal}));
}

TEST(CPULoadBandsTest, CurrentReusesTheLastBandOnlyForTheSameFreshValue) {
    std::vector<std::optional<double>> values(12, 95.0);
    const auto points = everySecond(values);  // last point at 11 s, critical
    EXPECT_EQ(CPULoadBands::current(95, points, at(14)), L::critical);
    EXPECT_EQ(CPULoadBands::current(95, points, at(11)), L::critical);
    EXPECT_EQ(CPULoadBands::current(95, points, at(26)), L::critical);  // 15 s inclusive
    EXPECT_EQ(CPULoadBands::current(95, points, at(31)), L::elevated);  // 20 s old
    EXPECT_EQ(CPULoadBands::current(95, points, at(10)), L::elevated);  // point in the future
    EXPECT_EQ(CPULoadBands::current(94.9, points, at(14)), L::elevated);
    EXPECT_EQ(CPULoadBands::current(50, points, at(14)), L::normal);
    EXPECT_EQ(CPULoadBands::current(101, points, at(14)), L::unknown);
    EXPECT_EQ(CPULoadBands::current(std::nullopt, points, at(14)), L::unknown);
    EXPECT_EQ(CPULoadBands::current(95, {}, at(14)), L::elevated);
}

TEST(CPULoadBandsTest, RunsMeetWhereTheBandChanges) {
    const auto points = everySecond({10, 20, 80, 85});
    const auto runs = CPULoadBands::runs(points, 600);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 0);
    EXPECT_EQ(runs[0].level, L::normal);
    EXPECT_EQ(runs[0].points, (std::vector<MetricPoint>{points[0], points[1], points[2]}));
    EXPECT_EQ(runs[1].id, 1);
    EXPECT_EQ(runs[1].level, L::elevated);
    EXPECT_EQ(runs[1].points, (std::vector<MetricPoint>{points[2], points[3]}));
}

TEST(CPULoadBandsTest, UnknownSamplesSplitRunsAndAllUnknownGivesNone) {
    const auto split = CPULoadBands::runs(everySecond({10, std::nullopt, 20}), 600);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[1].id, 1);
    EXPECT_EQ(split[1].level, L::normal);
    EXPECT_TRUE(CPULoadBands::runs(everySecond({std::nullopt, 150.0, -1.0}), 600).empty());
    EXPECT_TRUE(CPULoadBands::runs(std::span<const MetricPoint>{}, 600).empty());
}

struct BudgetCase {
    const char* name;
    int runs;
    int budget;
    std::size_t maximumPerRun;
};

class RunBudgetTest : public ::testing::TestWithParam<BudgetCase> {};

// Runs of 100 points separated by 20 s gaps; each run is thinned to its share of the budget.
TEST_P(RunBudgetTest, SharesTheBudget) {
    const auto& c = GetParam();
    std::vector<MetricPoint> points;
    for (int r = 0; r < c.runs; ++r)
        for (int i = 0; i < 100; ++i) points.push_back({at(r * 200 + i), 30.0 + (i * 37 % 40), 0});
    const auto runs = CPULoadBands::runs(points, c.budget);
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(c.runs));
    for (const auto& run : runs) {
        // Per-run budget p keeps at most 2 per chunk of max(2, 200 / p) plus both ends.
        const std::size_t perRun = c.maximumPerRun;
        const std::size_t bucket = std::max<std::size_t>(2, 200 / perRun);
        EXPECT_LE(run.points.size(), 2 * ((98 + bucket - 1) / bucket) + 2) << c.name;
        EXPECT_EQ(run.points.front().date.secondsSince(t0), run.id * 200.0);
        EXPECT_EQ(run.points.back().date.secondsSince(t0), run.id * 200.0 + 99);
    }
}

INSTANTIATE_TEST_SUITE_P(Budgets, RunBudgetTest,
                         ::testing::Values(BudgetCase{"tenOverFiveIsFour", 5, 10, 4},
                                           BudgetCase{"zeroBudgetIsFour", 2, 0, 4},
                                           BudgetCase{"negativeBudgetIsFour", 2, -50, 4},
                                           BudgetCase{"sixHundredOverThree", 3, 600, 200}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CPULoadBandsTest, BudgetOfTwoHundredPerRunKeepsShortRunsWhole) {
    std::vector<MetricPoint> points;
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 100; ++i) points.push_back({at(r * 200 + i), 30.0 + i % 7, 0});
    for (const auto& run : CPULoadBands::runs(points, 600)) EXPECT_EQ(run.points.size(), 100u);
    // With budget 10 over 3 runs each run shrinks to its first, chunk extremes and last.
    for (const auto& run : CPULoadBands::runs(points, 10)) EXPECT_LT(run.points.size(), 100u);
}

}  // namespace
}  // namespace pyrelle
