#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "DiagnosticFixtures.hpp"

namespace pyrelle {
namespace {

using testing::calmInput;
using testing::feed;
using testing::findingWithID;
using testing::ids;
using testing::setTemperature;
using testing::settledEngine;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
using Strings = std::vector<std::string>;

// Each way the data can be incomplete, all of which must be reported rather than read as normal.
struct MissingCase {
    const char* name;
    std::function<void(DiagnosticInput&)> remove;
};

class DiagnosticIncompleteData : public ::testing::TestWithParam<MissingCase> {};

TEST_P(DiagnosticIncompleteData, IsReportedAfterThirtySecondsAndMakesThePartialState) {
    DiagnosticEngine engine;
    DiagnosticReport report = feed(engine, 0, 29, GetParam().remove);
    EXPECT_EQ(findingWithID(report, "data-unavailable"), nullptr);
    EXPECT_EQ(report.state, DiagnosticState::sampling);

    report = feed(engine, 30, 30, GetParam().remove);
    const DiagnosticFinding* f = findingWithID(report, "data-unavailable");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->kind, DiagnosticKind::unavailable);
    EXPECT_EQ(f->severity, DiagnosticSeverity::information);
    EXPECT_EQ(f->confidence, DiagnosticConfidence::unavailable);
    EXPECT_EQ(f->action, DiagnosticAction::refresh());
    EXPECT_EQ(f->value, std::nullopt);
    EXPECT_EQ(report.state, DiagnosticState::sampling);

    report = feed(engine, 31, 45, GetParam().remove);
    EXPECT_EQ(report.state, DiagnosticState::partial);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DiagnosticIncompleteData,
    ::testing::Values(
        MissingCase{"cpuTemperature",
                    [](DiagnosticInput& in) {
                        in.snapshot.sensors.pop_back(),
                            in.snapshot.sensors.erase(in.snapshot.sensors.begin());
                    }},
        MissingCase{"cpuTemperatureNaN",
                    [](DiagnosticInput& in) { setTemperature(in, "TC0P", nan); }},
        MissingCase{"cpuTemperatureNegative",
                    [](DiagnosticInput& in) { setTemperature(in, "TC0P", -40); }},
        MissingCase{"cpuUsage", [](DiagnosticInput& in) { in.snapshot.cpuUsage.reset(); }},
        MissingCase{"cpuUsageOutOfRange", [](DiagnosticInput& in) { in.snapshot.cpuUsage = 140; }},
        MissingCase{"speedLimit", [](DiagnosticInput& in) { in.snapshot.speedLimit.reset(); }},
        MissingCase{"schedulerLimit",
                    [](DiagnosticInput& in) { in.snapshot.schedulerLimit.reset(); }},
        MissingCase{"availableCPUs",
                    [](DiagnosticInput& in) { in.snapshot.availableCPUs.reset(); }},
        MissingCase{"memoryPressure",
                    [](DiagnosticInput& in) { in.snapshot.memoryPressure.reset(); }},
        MissingCase{"processDate", [](DiagnosticInput& in) { in.processDate.reset(); }},
        MissingCase{"processDate13sOld",
                    [](DiagnosticInput& in) { in.processDate = in.snapshot.date.adding(-13); }},
        MissingCase{"blockers", [](DiagnosticInput& in) { in.blockers.reset(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiagnosticEngine, FirstEvaluationNeverReportsMissingDataButStillWarns) {
    DiagnosticEngine engine;
    DiagnosticInput input = calmInput(0);
    input.snapshot.cpuUsage.reset();
    input.blockers.reset();
    DiagnosticReport report = engine.evaluate(input);
    EXPECT_TRUE(report.findings.empty());
    EXPECT_EQ(report.state, DiagnosticState::sampling);

    DiagnosticEngine fresh;
    input.snapshot.memoryPressure = MemoryPressure::warning;
    report = fresh.evaluate(input);
    EXPECT_EQ(report.state, DiagnosticState::attention);
    EXPECT_EQ(fresh.observed(), 0);
}

TEST(DiagnosticEngine, ReportStates) {
    struct Case {
        const char* name;
        int observed;  // seconds of continuous samples before the evaluated one
        std::function<void(DiagnosticInput&)> adjust;
        DiagnosticState state;
    };
    const auto diskOnly = [](DiagnosticInput& in) {
        in.sources = {DiagnosticSource{"d", "backup", 5, 5, 3e7, 1e7, 60}};
    };
    const std::vector<Case> cases = {
        {"complete and calm", 45, nullptr, DiagnosticState::stable},
        {"only disk activity", 45, diskOnly, DiagnosticState::observing},
        {"warm", 45, [](DiagnosticInput& in) { setTemperature(in, "TC0P", 81); },
         DiagnosticState::observing},
        {"short process history", 45, [](DiagnosticInput& in) { in.processSeconds = 20; },
         DiagnosticState::sampling},
        {"short observation", 44, nullptr, DiagnosticState::sampling},
        {"incomplete", 45, [](DiagnosticInput& in) { in.snapshot.speedLimit.reset(); },
         DiagnosticState::partial},
        {"incomplete and warm", 45,
         [](DiagnosticInput& in) {
             in.blockers.reset();
             setTemperature(in, "TC0P", 85);
         },
         DiagnosticState::partial},
        {"warning outranks all", 0, [](DiagnosticInput& in) { in.snapshot.thermalState = 2; },
         DiagnosticState::attention},
        {"information only", 45, [](DiagnosticInput& in) { in.blockers = 2; },
         DiagnosticState::stable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiagnosticEngine engine;
        const DiagnosticReport report = feed(engine, 0, c.observed, c.adjust);
        EXPECT_EQ(engine.observed(), c.observed);
        EXPECT_EQ(report.state, c.state);
    }
}

TEST(DiagnosticEngine, ObservedSecondsIsTheShorterOfObservationAndFreshProcessData) {
    DiagnosticEngine engine = settledEngine(50);
    DiagnosticInput input = calmInput(0);
    input.processSeconds = 20;
    EXPECT_EQ(engine.evaluate(input).observedSeconds, 20);

    DiagnosticEngine stale = settledEngine(50);
    input.processDate.reset();
    EXPECT_EQ(stale.evaluate(input).observedSeconds, 50);
}

TEST(DiagnosticEngine, FindingsSortBySeverityThenPriorityThenID) {
    DiagnosticEngine engine;
    const DiagnosticReport report = feed(engine, 0, 40, [](DiagnosticInput& in) {
        in.snapshot.thermalState = 2;
        in.snapshot.memoryPressure = MemoryPressure::critical;
        in.snapshot.acPower = false;
        in.batteryPercent = 12;
        in.blockers = 1;
        in.snapshot.cpuUsage.reset();
        in.sources = {DiagnosticSource{"d", "backup", 5, 5, 3e7, 1e7, 60}};
    });
    EXPECT_EQ(ids(report), (Strings{"memory-pressure", "thermal-pressure", "battery-policy",
                                    "disk:d", "wake-requests", "data-unavailable"}));
    EXPECT_EQ(report.attentionCount, 2);
}

TEST(DiagnosticEngine, SortKeepsCollectionOrderOfFullyEqualFindings) {
    const auto make = [](std::string id, DiagnosticKind kind, DiagnosticSeverity severity,
                         double value) {
        return DiagnosticFinding{id,           kind,  severity,     DiagnosticConfidence::confirmed,
                                 std::nullopt, value, std::nullopt, DiagnosticAction::refresh()};
    };
    std::vector<DiagnosticFinding> findings = {
        make("b", DiagnosticKind::temperature, DiagnosticSeverity::information, 1),
        make("a", DiagnosticKind::temperatureObservation, DiagnosticSeverity::information, 2),
        make("b", DiagnosticKind::temperatureObservation, DiagnosticSeverity::information, 3),
        make("z", DiagnosticKind::thermalLimit, DiagnosticSeverity::information, 4),
        make("a", DiagnosticKind::unavailable, DiagnosticSeverity::warning, 5),
    };
    DiagnosticEngine::sort(findings);
    std::vector<double> order;
    for (const auto& f : findings) order.push_back(*f.value);
    EXPECT_EQ(order, (std::vector<double>{5, 4, 2, 1, 3}));
}

TEST(DiagnosticMetrics, CleansFiguresForDisplay) {
    struct Case {
        std::optional<double> usage;
        std::optional<double> expected;
    };
    for (const Case& c :
         {Case{100, 100}, Case{0, 0}, Case{100.01, std::nullopt}, Case{-0.01, std::nullopt},
          Case{nan, std::nullopt}, Case{std::nullopt, std::nullopt}}) {
        DiagnosticInput input = calmInput();
        input.snapshot.cpuUsage = c.usage;
        EXPECT_EQ(DiagnosticMetrics::from(input).cpuUsage, c.expected);
    }

    DiagnosticInput input = calmInput();
    setTemperature(input, "TC0P", -3);
    setTemperature(input, "TG0P", inf);
    input.snapshot.thermalState = 7;
    input.snapshot.schedulerLimit.reset();
    input.snapshot.speedLimit = 50;
    DiagnosticMetrics metrics = DiagnosticMetrics::from(input);
    EXPECT_EQ(metrics.cpuTemperature, std::nullopt);
    EXPECT_EQ(metrics.gpuTemperature, std::nullopt);
    EXPECT_EQ(metrics.thermalTitle, "未知");
    EXPECT_EQ(metrics.performanceLimited, std::nullopt);  // a limit known only in part
    input.snapshot.schedulerLimit = 100;
    EXPECT_EQ(DiagnosticMetrics::from(input).performanceLimited, true);
}

TEST(DiagnosticMetrics, ProcessFreshnessWindow) {
    for (const auto& [age, fresh] : std::vector<std::pair<double, bool>>{
             {-1, true}, {-1.01, false}, {12, true}, {12.01, false}, {0, true}, {nan, false}}) {
        SCOPED_TRACE(age);
        DiagnosticInput input = calmInput();
        input.processDate = input.snapshot.date.adding(-age);
        input.sources = {DiagnosticSource{"a", "a", 10, 10, 1, 1, 5}};
        const DiagnosticMetrics metrics = DiagnosticMetrics::from(input);
        EXPECT_EQ(metrics.processFresh, fresh);
        EXPECT_EQ(metrics.processSeconds, fresh ? 60 : 0);
        EXPECT_EQ(metrics.cpuSource.has_value(), fresh);
        EXPECT_EQ(metrics.diskSource.has_value(), fresh);
    }
}

TEST(DiagnosticMetrics, BusiestSources) {
    DiagnosticInput input = calmInput();
    input.sources = {
        DiagnosticSource{"negative", "n", 900, -1, 9e9, -1, 10},
        DiagnosticSource{"first", "f", 300, 0, std::nullopt, 1, 10},
        DiagnosticSource{"second", "s", 300, 5, 50, 1, 10},
        DiagnosticSource{"nan", "x", nan, 5, inf, 1, 10},
        DiagnosticSource{"no-seconds", "z", 1, 1, 9e9, 1, 0},
        DiagnosticSource{"disk", "d", 1, 1, 60, 0, 10},
        DiagnosticSource{"disk-tie", "t", 1, 1, 60, 0, 10},
    };
    for (const auto& [seconds, sources] :
         std::vector<std::pair<double, bool>>{{90, true}, {0, false}, {-5, false}, {nan, false}}) {
        input.processSeconds = seconds;
        const DiagnosticMetrics metrics = DiagnosticMetrics::from(input);
        EXPECT_TRUE(metrics.processFresh);
        EXPECT_EQ(metrics.processSeconds, sources ? 60 : 0);
        if (!sources) {
            EXPECT_FALSE(metrics.cpuSource || metrics.diskSource);
            continue;
        }
        ASSERT_TRUE(metrics.cpuSource && metrics.diskSource);
        EXPECT_EQ(metrics.cpuSource->id, "first");
        EXPECT_EQ(metrics.diskSource->id, "disk");
    }
}

// Arbitrary figures, including NaN, infinities, negatives and dates that jump about, must never
// break the report's invariants.
TEST(DiagnosticEngine, InvariantsHoldForArbitraryFigures) {
    std::mt19937_64 random(20261208);
    const std::vector<double> specials = {nan, inf, -inf, -1, 0, 1e308, -1e308};
    const auto figure = [&](double low, double high) {
        if (random() % 5 == 0) return specials[random() % specials.size()];
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    const auto maybe = [&](double low, double high) -> std::optional<double> {
        if (random() % 6 == 0) return std::nullopt;
        return figure(low, high);
    };
    const auto maybeInt = [&](int low, int high) -> std::optional<int> {
        if (random() % 6 == 0) return std::nullopt;
        return std::uniform_int_distribution<int>(low, high)(random);
    };

    DiagnosticEngine engine;
    double clock = 0;
    for (int round = 0; round < 5000; ++round) {
        const int step = random() % 20;
        clock += step == 0 ? -5 : step < 17 ? 1 : 16;
        DiagnosticInput input = calmInput(clock);
        if (random() % 50 == 0) input.snapshot.date = Date(figure(-1, 1));
        Snapshot& s = input.snapshot;
        s.cpuUsage = maybe(-10, 110);
        s.sensors = {SensorReading{"TC0P", "", figure(-20, 120)},
                     SensorReading{"TG0P", "", figure(-20, 120)}};
        s.speedLimit = maybeInt(-10, 110);
        s.schedulerLimit = maybeInt(-10, 110);
        s.availableCPUs = maybeInt(-1, 10);
        s.thermalState = std::uniform_int_distribution<int>(-1, 4)(random);
        s.acPower = random() % 3 == 0 ? std::nullopt : std::optional<bool>(random() % 2);
        s.lowPower = random() % 2;
        s.memoryPressure = memoryPressureFromValue(random() % 6);
        input.sources.clear();
        for (int i = random() % 5; i > 0; --i)
            input.sources.push_back(
                DiagnosticSource{std::to_string(random() % 4), "app", figure(-10, 400),
                                 figure(-10, 400), maybe(0, 1e8), maybe(0, 1e8), figure(-10, 120)});
        input.processSeconds = figure(-10, 120);
        if (random() % 4 == 0) input.processDate = Date(figure(-20, 20)).adding(clock + 8e8);
        input.blockers = maybeInt(-2, 5);
        input.batteryPercent = maybe(-10, 110);
        input.supportsLowPowerMode = random() % 2;

        const DiagnosticReport report = engine.evaluate(input);
        SCOPED_TRACE(round);
        ASSERT_GE(engine.observed(), 0);
        ASSERT_LE(engine.observed(), 60);
        ASSERT_GE(engine.hotSeconds(), 0);
        ASSERT_TRUE(report.observedSeconds >= 0 && report.observedSeconds <= 60);
        int attention = 0;
        for (const DiagnosticFinding& f : report.findings)
            attention += f.severity != DiagnosticSeverity::information;
        ASSERT_EQ(report.attentionCount, attention);
        ASSERT_EQ(report.state == DiagnosticState::attention, attention > 0);
        std::vector<DiagnosticFinding> sorted = report.findings;
        DiagnosticEngine::sort(sorted);
        ASSERT_EQ(sorted, report.findings);
        for (const DiagnosticFinding& f : report.findings) {
            ASSERT_TRUE(!f.value || std::isfinite(*f.value)) << f.id;
            ASSERT_TRUE(f.kind != DiagnosticKind::sustainedCPU ||
                        f.confidence == DiagnosticConfidence::possible);
        }
        ASSERT_LE(
            std::count_if(report.findings.begin(), report.findings.end(),
                          [](const auto& f) { return f.kind == DiagnosticKind::sustainedCPU; }),
            2);
    }
}

}  // namespace
}  // namespace pyrelle
