// Trend drawing: positions, clamping, skipped points and runs split at segment changes.
#include <gtest/gtest.h>

#include "pyrelle/widget/WidgetTrend.hpp"

namespace pyrelle {
namespace {

using Kind = WidgetPath::Element::Kind;
constexpr double kEnd = 1000;

WidgetPath path(std::initializer_list<WidgetPath::Element> elements) {
    return WidgetPath{elements};
}
WidgetPath::Element M(double x, double y) {
    return {Kind::move, x, y};
}
WidgetPath::Element L(double x, double y) {
    return {Kind::line, x, y};
}
WidgetPath::Element Z() {
    return {Kind::close};
}

WidgetTrend trend(std::vector<WidgetPoint> points, double upper = 100) {
    WidgetTrend t;
    t.points = std::move(points);
    t.end = kEnd;
    t.upper = upper;
    return t;
}

TEST(WidgetTrendPaths, AGapBetweenSegmentsIsNotBridged) {
    // Width 300 so one second is one unit; height 100 so one percent is one unit.
    WidgetTrend t = trend({WidgetPoint(kEnd - 300, 50, 0), WidgetPoint(kEnd - 200, 25, 0),
                           WidgetPoint(kEnd - 150, std::nullopt, 0),
                           WidgetPoint(kEnd - 100, 100, 1), WidgetPoint(kEnd, 0, 1)});
    WidgetTrend::Paths p = t.paths({300, 100});
    EXPECT_EQ(p.line, path({M(0, 50), L(100, 75), M(200, 0), L(300, 100)}));
    EXPECT_EQ(p.area, path({M(0, 50), L(100, 75), L(100, 100), L(0, 100), Z(), M(200, 0),
                            L(300, 100), L(300, 100), L(200, 100), Z()}));
    EXPECT_EQ(p.line.svg(), "M0 50L100 75M200 0L300 100");
}

TEST(WidgetTrendPaths, PositionsAreClampedToTheDrawing) {
    WidgetTrend t = trend({WidgetPoint(kEnd - 400, 150, 0), WidgetPoint(kEnd + 60, 0, 0)});
    WidgetTrend::Paths p = t.paths({200, 40});
    EXPECT_EQ(p.line, path({M(0, 0), L(200, 40)}));
}

TEST(WidgetTrendPaths, UpperBelowOneDoesNotDivide) {
    WidgetTrend::Paths p = trend({WidgetPoint(kEnd, 0.5, 0)}, 0.25).paths({100, 10});
    EXPECT_EQ(p.line, path({M(100, 5)}));
    EXPECT_EQ(p.area, path({M(100, 5), L(100, 10), L(100, 10), Z()}));
    EXPECT_EQ(trend({WidgetPoint(kEnd, 3000, 0)}, 6000).paths({100, 10}).line, path({M(100, 5)}));
}

TEST(WidgetTrendPaths, NothingDrawableDrawsNothing) {
    EXPECT_TRUE(trend({}).paths({100, 10}).line.empty());
    WidgetPoint broken(kEnd, 10, 0);
    broken.date = std::numeric_limits<double>::quiet_NaN();
    WidgetTrend::Paths p = trend({WidgetPoint(kEnd, std::nullopt, 0), broken}).paths({100, 10});
    EXPECT_TRUE(p.line.empty());
    EXPECT_TRUE(p.area.empty());
}

TEST(WidgetTrendPaths, TheTrendColour) {
    EXPECT_EQ(WidgetColor::trend().hex(), "#876ed1");
}

}  // namespace
}  // namespace pyrelle
