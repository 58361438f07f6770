#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pyrelle/OptimizationSummary.hpp"

using namespace pyrelle;

namespace {

using Assessment = OptimizationAssessment;

const double nan = std::numeric_limits<double>::quiet_NaN();

// `count` samples spread evenly over `seconds`, all with the same readings.
std::vector<OptimizationMetric> series(int count, double seconds, std::optional<double> cpu,
                                       std::optional<double> temperature,
                                       std::optional<PowerSource> source = PowerSource::battery,
                                       std::optional<double> watts = 8.0) {
    std::vector<OptimizationMetric> samples;
    for (int index = 0; index < count; ++index) {
        const double offset = count > 1 ? seconds * index / (count - 1) : 0;
        samples.push_back({Date(1000 + offset), cpu, temperature, watts, source});
    }
    return samples;
}

OptimizationSummary summary(int count, double seconds, std::optional<double> cpu,
                            std::optional<double> temperature,
                            std::optional<PowerSource> source = PowerSource::battery) {
    return OptimizationSummary(series(count, seconds, cpu, temperature, source));
}

TEST(OptimizationSummary, SummarisesOutOfOrderSamples) {
    const OptimizationSummary result({{Date(30), 40.0, 70.0, 6.0, PowerSource::battery},
                                      {Date(10), 20.0, nan, 0.0, PowerSource::battery},
                                      {Date(20), nan, 60.0, 10.0, PowerSource::battery}});
    EXPECT_EQ(result.count, 3);
    EXPECT_EQ(result.seconds, 20);
    EXPECT_EQ(result.cpu, 30.0);  // the non-finite load is ignored, not counted as zero
    EXPECT_EQ(result.temperature, 65.0);
    EXPECT_EQ(result.source, PowerSource::battery);
    EXPECT_EQ(result.wattsSamples, 2);
    EXPECT_EQ(result.watts, 8.0);

    const OptimizationSummary empty(std::vector<OptimizationMetric>{});
    EXPECT_EQ(empty, OptimizationSummary());
    EXPECT_FALSE(empty.sufficient());
}

TEST(OptimizationSummary, DischargeNeedsAnAllBatterySeriesWithTwoReadings) {
    const OptimizationSummary oneReading({{Date(0), 10.0, 50.0, 5.0, PowerSource::battery},
                                          {Date(1), 10.0, 50.0, 0.0, PowerSource::battery}});
    EXPECT_EQ(oneReading.wattsSamples, 1);
    EXPECT_EQ(oneReading.watts, std::nullopt);

    const OptimizationSummary onAC(
        {{Date(0), 10.0, 50.0, 5.0, PowerSource::ac}, {Date(1), 10.0, 50.0, 7.0, PowerSource::ac}});
    EXPECT_EQ(onAC.wattsSamples, 2);
    EXPECT_EQ(onAC.watts, std::nullopt);

    const OptimizationSummary mixed({{Date(0), 10.0, 50.0, 5.0, PowerSource::battery},
                                     {Date(1), 10.0, 50.0, 7.0, std::nullopt}});
    EXPECT_EQ(mixed.source, std::nullopt);
    EXPECT_EQ(mixed.watts, std::nullopt);
}

TEST(OptimizationSummary, SufficiencyBoundaryAndComparableWatts) {
    EXPECT_FALSE(summary(5, 19.9, 10, 50).sufficient());
    EXPECT_TRUE(summary(5, 20, 10, 50).sufficient());
    EXPECT_FALSE(summary(4, 60, 10, 50).sufficient());

    const auto battery = summary(5, 20, 10, 50);
    EXPECT_TRUE(battery.comparableWatts(summary(6, 30, 20, 40)));
    EXPECT_FALSE(battery.comparableWatts(summary(5, 19.9, 10, 50)));
    EXPECT_FALSE(battery.comparableWatts(summary(5, 20, 10, 50, PowerSource::ac)));
}

TEST(OptimizationSummary, BaselineTakesTheMinuteBeforeInclusive) {
    std::vector<OptimizationMetric> samples;
    for (double at : {-61.0, -60.0, -30.0, 0.0, 1.0})
        samples.push_back({Date(43200 + at), 10.0, 50.0, 4.0, PowerSource::ac});
    const auto baseline = OptimizationSummary::baseline(samples, Date(43200));
    EXPECT_EQ(baseline.count, 3);
    EXPECT_EQ(baseline.seconds, 60);
    EXPECT_EQ(OptimizationSummary::baseline(samples, std::nullopt).count, 0);
}

struct AssessmentCase {
    const char* name;
    OptimizationSummary before;
    OptimizationSummary after;
    Assessment expected;
};

class OptimizationAssessmentCases : public ::testing::TestWithParam<AssessmentCase> {};

TEST_P(OptimizationAssessmentCases, Judges) {
    EXPECT_EQ(GetParam().before.assessment(GetParam().after), GetParam().expected)
        << toText(GetParam().before.assessment(GetParam().after));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, OptimizationAssessmentCases,
    ::testing::Values(AssessmentCase{"shortBefore", summary(5, 19.9, 30, 70),
                                     summary(5, 20, 30, 60), Assessment::insufficient},
                      AssessmentCase{"shortAfter", summary(5, 20, 30, 70), summary(4, 20, 30, 60),
                                     Assessment::insufficient},
                      AssessmentCase{"sourceUnknown", summary(5, 20, 30, 70, std::nullopt),
                                     summary(5, 20, 30, 60, std::nullopt),
                                     Assessment::powerChanged},
                      AssessmentCase{"sourceDiffers", summary(5, 20, 30, 70),
                                     summary(5, 20, 30, 60, PowerSource::ac),
                                     Assessment::powerChanged},
                      AssessmentCase{"noLoad", summary(5, 20, std::nullopt, 70),
                                     summary(5, 20, 30, 60), Assessment::loadChanged},
                      AssessmentCase{"loadWithinHalf", summary(5, 20, 30, 70),
                                     summary(5, 20, 41, 68), Assessment::lowerTemperature},
                      AssessmentCase{"loadBeyondHalf", summary(5, 20, 30, 70),
                                     summary(5, 20, 46, 68), Assessment::loadChanged},
                      AssessmentCase{"lightLoadWithinTen", summary(5, 20, 8, 70),
                                     summary(5, 20, 18, 70), Assessment::noClearChange},
                      AssessmentCase{"lightLoadBeyondTen", summary(5, 20, 8, 70),
                                     summary(5, 20, 18.5, 70), Assessment::loadChanged},
                      AssessmentCase{"noTemperature", summary(5, 20, 30, std::nullopt),
                                     summary(5, 20, 30, 60), Assessment::insufficient},
                      AssessmentCase{"twoDegreesCooler", summary(5, 20, 30, 70.0),
                                     summary(5, 20, 30, 68.0), Assessment::lowerTemperature},
                      AssessmentCase{"justUnderTwoCooler", summary(5, 20, 30, 70.0),
                                     summary(5, 20, 30, 68.1), Assessment::noClearChange},
                      AssessmentCase{"twoDegreesWarmer", summary(5, 20, 30, 70.0),
                                     summary(5, 20, 30, 72.0), Assessment::higherTemperature}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
