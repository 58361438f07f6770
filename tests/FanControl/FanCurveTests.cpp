// Curve validation, interpolation, protection and smoothing rules, and the profile vocabulary.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "pyrelle/CurvePolicy.hpp"
#include "pyrelle/FanCurve.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/ThermalProfile.hpp"

namespace {

using namespace pyrelle;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kCount = "曲线需要 2 至 8 个控制点";
const std::string kRange = "曲线温度范围为 30–100°C，转速范围为 0–100%";
const std::string kOrder = "温度控制点至少间隔 2°C，转速必须随温度升高而不降低";
const std::string kLast = "最后一个点必须在 90°C 或更低达到 100% 转速";

struct ValidationCase {
    const char* name;
    std::vector<CurvePoint> points;
    std::string error;  // empty: valid
    int point = -1;     // the point the problem concerns; -1: the whole curve
};

class Validation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, FirstBrokenRuleWins) {
    const auto& c = GetParam();
    const FanCurve curve{c.points, CurveSensor::cpu};
    if (c.error.empty()) {
        EXPECT_NO_THROW(curve.validate());
    } else {
        try {
            curve.validate();
            FAIL() << "accepted";
        } catch (const ScopeError& e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
    // The editor's view of the same rule: the same message, tied to the point at fault.
    const auto problem = curve.problem();
    ASSERT_EQ(problem.has_value(), !c.error.empty());
    if (problem) {
        EXPECT_EQ(problem->message, c.error);
        EXPECT_EQ(problem->point ? static_cast<int>(*problem->point) : -1, c.point);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Validation,
    ::testing::Values(
        ValidationCase{"OnePoint", {{90, 100}}, kCount},
        ValidationCase{"NinePointsBeforeLookingAtThem",
                       {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}},
                       kCount},
        ValidationCase{"Empty", {}, kCount},
        ValidationCase{"Builtin", FanCurve::balanced().points, ""},
        ValidationCase{
            "EightPoints",
            {{30, 0}, {40, 10}, {50, 20}, {60, 30}, {70, 40}, {80, 50}, {85, 60}, {90, 100}},
            ""},
        ValidationCase{"FirstBelow30", {{29.9, 0}, {90, 100}}, kRange, 0},
        ValidationCase{"FirstAt30", {{30, 0}, {90, 100}}, ""},
        ValidationCase{"PercentAbove100", {{40, 101}, {90, 100}}, kRange, 0},
        ValidationCase{"NegativePercent", {{40, -1}, {90, 100}}, kRange, 0},
        ValidationCase{"NaNTemperature", {{kNaN, 0}, {90, 100}}, kRange, 0},
        ValidationCase{"InfinitePercent", {{40, 0}, {50, kInf}, {90, 100}}, kRange, 1},
        ValidationCase{"TooClose", {{40, 10}, {41.9, 20}, {90, 100}}, kOrder, 1},
        ValidationCase{"TwoApart", {{40, 10}, {42, 20}, {90, 100}}, ""},
        ValidationCase{"EqualPercents", {{40, 50}, {60, 50}, {90, 100}}, ""},
        ValidationCase{"DecreasingPercent", {{40, 50}, {60, 40}, {90, 100}}, kOrder, 1},
        ValidationCase{"RangeCheckedBeforeOrder", {{40, 50}, {20, 60}, {90, 100}}, kRange, 1},
        ValidationCase{"LastAt91", {{40, 0}, {91, 100}}, kLast, 1},
        ValidationCase{"LastAt99Percent", {{40, 0}, {90, 99}}, kLast, 1},
        ValidationCase{"LastAbove90InRange", {{40, 0}, {100, 100}}, kLast, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FanCurve, PercentInterpolatesAndClampsAtTheEnds) {
    const auto curve = FanCurve::balanced();
    EXPECT_DOUBLE_EQ(curve.percent(30), 10);
    EXPECT_DOUBLE_EQ(curve.percent(47.5), 17.5);
    EXPECT_DOUBLE_EQ(curve.percent(75), 67.5);
    EXPECT_DOUBLE_EQ(curve.percent(80), 80);
    EXPECT_DOUBLE_EQ(curve.percent(95), 100);
    EXPECT_DOUBLE_EQ(curve.percent(kNaN), 100);
    EXPECT_DOUBLE_EQ(curve.percent(-kInf), 100);
    EXPECT_DOUBLE_EQ(FanCurve{}.percent(50), 100);
}

TEST(FanCurve, ManualIsFlatAndClamped) {
    EXPECT_EQ(FanCurve::manual(40).points, (std::vector<CurvePoint>{{30, 40}, {80, 40}}));
    EXPECT_EQ(FanCurve::manual(140).points.front().percent, 100);
    EXPECT_EQ(FanCurve::manual(-3).points.front().percent, 0);
    EXPECT_EQ(FanCurve::manual(kNaN).points.front().percent, 100);
    EXPECT_NO_THROW(FanCurve::manual(100).validate());
    EXPECT_THROW(FanCurve::manual(50).validate(), ScopeError);
}

TEST(FanCurve, JsonRoundTripAndStrictDecoding) {
    const FanCurve curve{{{40, 10}, {90, 100}}, CurveSensor::gpu};
    const nlohmann::json json = curve;
    EXPECT_EQ(
        json.dump(),
        R"({"points":[{"percent":10.0,"temperature":40.0},{"percent":100.0,"temperature":90.0}],"sensor":"GPU"})");
    EXPECT_EQ(json.get<FanCurve>(), curve);
    EXPECT_EQ(decodeFanCurve(R"({"points":[],"sensor":"CPU / GPU 较高温"})").sensor,
              CurveSensor::hottest);

    for (const char* bad : {R"({"points":[]})", R"({"sensor":"CPU"})",
                            R"({"points":[],"sensor":"cpu"})", R"({"points":{},"sensor":"CPU"})",
                            R"({"points":[{"temperature":"NaN","percent":1}],"sensor":"CPU"})",
                            R"({"points":[{"temperature":true,"percent":1}],"sensor":"CPU"})",
                            R"({"points":[{"temperature":40}],"sensor":"CPU"})", "[]", "nul", ""}) {
        EXPECT_THROW(decodeFanCurve(bad), ScopeError) << bad;
    }
}

TEST(CurvePolicy, RequiresMaximumAtEachThreshold) {
    auto snapshot = [](std::vector<SensorReading> sensors, int thermalState = 0) {
        Snapshot s;
        s.sensors = std::move(sensors);
        s.thermalState = thermalState;
        return s;
    };
    EXPECT_TRUE(CurvePolicy::requiresMaximum(snapshot({{"TC0P", "CPU", 92}})));
    EXPECT_FALSE(CurvePolicy::requiresMaximum(snapshot({{"TC0P", "CPU", 91.9}})));
    EXPECT_TRUE(CurvePolicy::requiresMaximum(snapshot({{"TG0P", "GPU", 88}})));
    EXPECT_FALSE(CurvePolicy::requiresMaximum(snapshot({{"TG0P", "GPU", 87.9}})));
    EXPECT_TRUE(CurvePolicy::requiresMaximum(snapshot({{"TH0a", "SSD", 75}})));
    EXPECT_FALSE(CurvePolicy::requiresMaximum(snapshot({{"TB0T", "Battery", 99}})));
    EXPECT_TRUE(CurvePolicy::requiresMaximum(snapshot({}, 2)));
    EXPECT_TRUE(CurvePolicy::requiresMaximum(snapshot({}, 3)));
    EXPECT_FALSE(CurvePolicy::requiresMaximum(snapshot({}, 1)));
    EXPECT_FALSE(CurvePolicy::requiresMaximum(snapshot({}, 4)));
}

TEST(CurvePolicy, HighTemperatureWithLowFanSpeedNeedsEveryFanNearItsMinimum) {
    Snapshot hot;
    hot.sensors = {{"TC0P", "CPU", 95}};
    auto fan = [](int id, std::optional<double> rpm) {
        FanReading f;
        f.id = id;
        f.rpm = rpm;
        f.minimum = 1000;
        f.maximum = 5000;
        return f;
    };
    hot.fans = {fan(0, 1400), fan(1, 1000)};
    EXPECT_TRUE(CurvePolicy::highTemperatureWithLowFanSpeed(hot));
    hot.fans[0].rpm = 1400.5;
    EXPECT_FALSE(CurvePolicy::highTemperatureWithLowFanSpeed(hot));
    hot.fans[0].rpm = std::nullopt;
    EXPECT_FALSE(CurvePolicy::highTemperatureWithLowFanSpeed(hot));
    hot.fans.clear();
    EXPECT_FALSE(CurvePolicy::highTemperatureWithLowFanSpeed(hot));
    Snapshot cool;
    cool.sensors = {{"TC0P", "CPU", 60}};
    cool.fans = {fan(0, 1000)};
    EXPECT_FALSE(CurvePolicy::highTemperatureWithLowFanSpeed(cool));
}

TEST(CurvePolicy, PercentRpmAndSmooth) {
    EXPECT_DOUBLE_EQ(CurvePolicy::percent(3000, 1000, 5000), 50);
    EXPECT_DOUBLE_EQ(CurvePolicy::percent(9000, 1000, 5000), 100);
    EXPECT_DOUBLE_EQ(CurvePolicy::percent(500, 1000, 5000), 0);
    EXPECT_DOUBLE_EQ(CurvePolicy::percent(3000, 2000, 2000), 0);
    EXPECT_DOUBLE_EQ(CurvePolicy::percent(kNaN, 1000, 5000), 0);
    EXPECT_DOUBLE_EQ(CurvePolicy::rpm(50, 1000, 5000), 3000);
    EXPECT_DOUBLE_EQ(CurvePolicy::rpm(150, 1000, 5000), 5000);
    EXPECT_DOUBLE_EQ(CurvePolicy::rpm(kNaN, 1000, 5000), 1000);
    EXPECT_DOUBLE_EQ(CurvePolicy::smooth(50, 60), 56);
    EXPECT_DOUBLE_EQ(CurvePolicy::smooth(58, 60), 58);
    EXPECT_DOUBLE_EQ(CurvePolicy::smooth(70, 60), 70);
    EXPECT_DOUBLE_EQ(CurvePolicy::smooth(12, std::nullopt), 12);
}

TEST(ThermalProfile, ValuesAreTheChineseNamesNotTheCommands) {
    EXPECT_EQ(parseThermalProfile("静音"), ThermalProfile::quiet);
    EXPECT_EQ(parseThermalProfile("quiet"), std::nullopt);
    EXPECT_EQ(parseThermalProfile("自定义"), ThermalProfile::custom);
    for (auto profile : allThermalProfiles) {
        EXPECT_EQ(parseThermalProfile(toText(profile)), profile);
    }
    EXPECT_EQ(command(ThermalProfile::automatic), "automatic");
    EXPECT_TRUE(disablesTurbo(ThermalProfile::eco));
    EXPECT_FALSE(disablesTurbo(ThermalProfile::performance));
    EXPECT_EQ(curve(ThermalProfile::quiet), FanCurve::quiet());
    EXPECT_EQ(curve(ThermalProfile::custom), FanCurve::balanced());
    EXPECT_EQ(energyModes[1], ThermalProfile::performance);
}

}  // namespace
