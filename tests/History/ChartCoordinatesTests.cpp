#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pyrelle/ChartCoordinates.hpp"

namespace pyrelle {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct TickCase {
    const char* name;
    ClosedRange range;
    int intervals;
    std::vector<double> expected;
};

class TicksTest : public ::testing::TestWithParam<TickCase> {};

TEST_P(TicksTest, ChoosesTidyValues) {
    const TickCase& c = GetParam();
    const std::vector<double> ticks = ChartCoordinates::ticks(c.range, c.intervals);
    ASSERT_EQ(ticks.size(), c.expected.size());
    for (std::size_t i = 0; i < ticks.size(); ++i) EXPECT_DOUBLE_EQ(ticks[i], c.expected[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, TicksTest,
    ::testing::Values(
        TickCase{"quarters", {0, 100}, 4, {0, 25, 50, 75, 100}},
        TickCase{"oneIntervalCountsAsTwo", {0, 100}, 1, {0, 50, 100}},
        TickCase{"zeroIntervalsCountAsTwo", {0, 100}, 0, {0, 50, 100}},
        TickCase{"twentyIntervalsCountAsEight",
                 {0, 100},
                 20,
                 {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
        TickCase{"symmetricAroundZero", {-0.1, 0.1}, 4, {-0.1, -0.05, 0, 0.05, 0.1}},
        // raw step 15 → normalised 1.5, equally far from 1 and 2: the smaller factor wins.
        TickCase{"tieTakesSmallerFactor", {0, 30}, 2, {0, 10, 20, 30}},
        TickCase{"boundsOffTheGrid", {3, 97}, 4, {25, 50, 75}},
        TickCase{"emptySpan", {30, 30}, 4, {30}}, TickCase{"reversedRange", {50, 10}, 4, {50}},
        TickCase{"infiniteUpper", {5, inf}, 4, {5}}, TickCase{"nanUpper", {5, nan}, 4, {5}},
        TickCase{"overflowingSpanGivesLower", {-1.7e308, 1.7e308}, 4, {-1.7e308}},
        TickCase{"denormalSpanFallsBackToBounds", {0, 5e-324}, 4, {0, 5e-324}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TicksTest, NonFiniteLowerGivesNothing) {
    EXPECT_TRUE(ChartCoordinates::ticks({-inf, 10}, 4).empty());
    EXPECT_TRUE(ChartCoordinates::ticks({nan, 10}, 4).empty());
}

TEST(TicksTest, MiddleTickIsExactlyPositiveZero) {
    const auto ticks = ChartCoordinates::ticks({-0.1, 0.1}, 4);
    ASSERT_EQ(ticks.size(), 5u);
    EXPECT_EQ(ticks[2], 0.0);
    EXPECT_FALSE(std::signbit(ticks[2]));
    // A range whose zero tick only comes out of the multiplication as a rounding residue.
    const auto shifted = ChartCoordinates::ticks({-0.3, 0.3}, 6);
    for (double t : shifted) EXPECT_FALSE(t != 0 && std::fabs(t) < 1e-12) << t;
}

const ChartCoordinates chart{{10, 20, 200, 100}, {0, 60}, {0, 100}};

TEST(ChartCoordinatesTest, PositionMapsIntoTheFrame) {
    EXPECT_EQ(chart.position(30, 25), (ChartPoint{110, 95}));
    EXPECT_EQ(chart.position(0, 0), (ChartPoint{10, 120}));
    EXPECT_EQ(chart.position(60, 100), (ChartPoint{210, 20}));
    // Outside the ranges maps outside the frame, unclamped.
    EXPECT_EQ(chart.position(-30, 200), (ChartPoint{-90, -80}));
}

TEST(ChartCoordinatesTest, NegativeSizeIsStandardised) {
    const ChartCoordinates flipped{{210, 120, -200, -100}, {0, 60}, {0, 100}};
    EXPECT_EQ(flipped.position(30, 25), (ChartPoint{110, 95}));
    EXPECT_EQ(flipped.value({110, 95}, false), (ChartCoordinates::DataValue{30, 25}));
}

TEST(ChartCoordinatesTest, EmptyRangeDoesNotDivideByZero) {
    const ChartCoordinates flat{{0, 0, 100, 100}, {5, 5}, {5, 5}};
    const ChartPoint p = flat.position(5, 5);
    EXPECT_EQ(p, (ChartPoint{0, 100}));
}

TEST(ChartCoordinatesTest, ValueInvertsPosition) {
    EXPECT_EQ(chart.value({110, 95}, false), (ChartCoordinates::DataValue{30, 25}));
    EXPECT_EQ(chart.value({10, 20}, false), (ChartCoordinates::DataValue{0, 100}));
}

struct ValueCase {
    const char* name;
    ChartCoordinates coordinates;
    ChartPoint at;
    bool clamped;
    std::optional<ChartCoordinates::DataValue> expected;
};

class ValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueTest, ReadsBack) {
    const ValueCase& c = GetParam();
    EXPECT_EQ(c.coordinates.value(c.at, c.clamped), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ValueTest,
    ::testing::Values(
        ValueCase{"leftOfFrameUnclamped", chart, {0, 70}, false, std::nullopt},
        ValueCase{"leftOfFrameClamped", chart, {0, 70}, true, ChartCoordinates::DataValue{0, 50}},
        ValueCase{"maximumEdgeIsOutside", chart, {210, 70}, false, std::nullopt},
        ValueCase{
            "maximumEdgeClamped", chart, {210, 120}, true, ChartCoordinates::DataValue{60, 0}},
        ValueCase{
            "minimumEdgeIsInside", chart, {10, 20}, false, ChartCoordinates::DataValue{0, 100}},
        ValueCase{"farBelowClamped", chart, {110, 1e9}, true, ChartCoordinates::DataValue{30, 0}},
        ValueCase{"nonFinitePoint", chart, {nan, 50}, true, std::nullopt},
        ValueCase{"infinitePoint", chart, {110, inf}, true, std::nullopt},
        ValueCase{"zeroWidth", {{10, 20, 0, 100}, {0, 60}, {0, 100}}, {10, 50}, true, std::nullopt},
        ValueCase{
            "zeroHeight", {{10, 20, 100, 0}, {0, 60}, {0, 100}}, {50, 20}, true, std::nullopt},
        ValueCase{
            "nanWidth", {{10, 20, nan, 100}, {0, 60}, {0, 100}}, {50, 50}, true, std::nullopt},
        ValueCase{"infiniteWidth",
                  {{10, 20, inf, 100}, {0, 60}, {0, 100}},
                  {50, 50},
                  true,
                  std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pyrelle
