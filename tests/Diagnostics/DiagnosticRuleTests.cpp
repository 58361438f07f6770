#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "DiagnosticFixtures.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle {
namespace {

using testing::calmInput;
using testing::feed;
using testing::findingWithID;
using testing::ids;
using testing::setTemperature;
using testing::settledEngine;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using Strings = std::vector<std::string>;

DiagnosticReport evaluateOnce(const std::function<void(DiagnosticInput&)>& adjust) {
    DiagnosticEngine engine = settledEngine();
    DiagnosticInput input = calmInput(0);
    adjust(input);
    return engine.evaluate(input);
}

TEST(DiagnosticEnumerations, SeverityValuesAndPriorities) {
    EXPECT_EQ(value(DiagnosticSeverity::information), 0);
    EXPECT_EQ(value(DiagnosticSeverity::critical), 2);
    EXPECT_EQ(diagnosticSeverityFromValue(1), DiagnosticSeverity::warning);
    EXPECT_EQ(diagnosticSeverityFromValue(3), std::nullopt);
    EXPECT_EQ(diagnosticSeverityFromValue(-1), std::nullopt);

    const std::vector<std::pair<DiagnosticKind, int>> table = {
        {DiagnosticKind::thermalPressure, 0},
        {DiagnosticKind::thermalLimit, 0},
        {DiagnosticKind::performanceLimit, 2},
        {DiagnosticKind::temperature, 4},
        {DiagnosticKind::temperatureObservation, 4},
        {DiagnosticKind::sustainedCPU, 3},
        {DiagnosticKind::memoryPressure, 1},
        {DiagnosticKind::diskActivity, 6},
        {DiagnosticKind::wakeRequests, 7},
        {DiagnosticKind::batteryPolicy, 5},
        {DiagnosticKind::unavailable, 8}};
    for (const auto& [kind, expected] : table) EXPECT_EQ(priority(kind), expected);

    EXPECT_EQ(DiagnosticAction::reviewApplication("a"), DiagnosticAction::reviewApplication("a"));
    EXPECT_NE(DiagnosticAction::reviewApplication("a"), DiagnosticAction::reviewApplication("b"));
    EXPECT_NE(DiagnosticAction::refresh(), DiagnosticAction::wakeRequests());
}

TEST(DiagnosticEngine, CalmCompleteDataIsStableAfterFortyFiveSeconds) {
    DiagnosticEngine engine;
    DiagnosticReport report = feed(engine, 0, 0);
    EXPECT_EQ(engine.observed(), 0);
    EXPECT_EQ(report.state, DiagnosticState::sampling);
    EXPECT_TRUE(report.findings.empty());
    EXPECT_EQ(report.date, Date(800000000));
    ASSERT_TRUE(report.metrics);
    EXPECT_EQ(report.metrics->thermalTitle, "正常");

    report = feed(engine, 1, 44);
    EXPECT_EQ(report.state, DiagnosticState::sampling);
    report = feed(engine, 45, 45);
    EXPECT_EQ(report.state, DiagnosticState::stable);
    report = feed(engine, 46, 100);
    EXPECT_EQ(engine.observed(), 60);  // capped
    EXPECT_EQ(report.observedSeconds, 60);
}

// How the date of the next sample decides whether observation continues.
struct ContinuityCase {
    const char* name;
    double next;  // seconds after the previous sample
    bool continues;
};

class DiagnosticContinuity : public ::testing::TestWithParam<ContinuityCase> {};

TEST_P(DiagnosticContinuity, OnlyStrictlyLaterSamplesWithinFifteenSecondsContinue) {
    DiagnosticEngine engine;
    feed(engine, 0, 40, [](DiagnosticInput& in) { setTemperature(in, "TC0P", 95); });
    ASSERT_EQ(engine.observed(), 40);
    ASSERT_EQ(engine.hotSeconds(), 40);

    DiagnosticInput input = calmInput(40);
    input.snapshot.date = input.snapshot.date.adding(GetParam().next);
    input.processDate = input.snapshot.date;
    setTemperature(input, "TC0P", 95);
    const DiagnosticReport report = engine.evaluate(input);
    if (GetParam().continues) {
        EXPECT_EQ(engine.observed(), 40 + GetParam().next);
        EXPECT_EQ(engine.hotSeconds(), 40 + GetParam().next);
    } else {
        EXPECT_EQ(engine.observed(), 0);
        EXPECT_EQ(engine.hotSeconds(), 0);
        EXPECT_EQ(engine.hotSource(), SensorCategory::cpu);  // this sample is hot again
        EXPECT_EQ(findingWithID(report, "temperature"), nullptr);
    }
    // `last` always moves to the evaluated date, even backwards.
    ASSERT_TRUE(engine.last());
    EXPECT_EQ(engine.last()->secondsSinceReferenceDate(),
              input.snapshot.date.secondsSinceReferenceDate());
}

INSTANTIATE_TEST_SUITE_P(Gaps, DiagnosticContinuity,
                         ::testing::Values(ContinuityCase{"exactly15", 15, true},
                                           ContinuityCase{"gap16", 16, false},
                                           ContinuityCase{"same", 0, false},
                                           ContinuityCase{"backwards", -1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DiagnosticEngine, UndatedSnapshotResetsContinuity) {
    DiagnosticEngine engine = settledEngine();
    DiagnosticInput input = calmInput(0);
    input.snapshot.date = Date(nan);
    engine.evaluate(input);
    EXPECT_EQ(engine.observed(), 0);
    // And the sample after it starts again from zero instead of carrying NaN along.
    feed(engine, 1, 1);
    EXPECT_EQ(engine.observed(), 0);
    feed(engine, 2, 2);
    EXPECT_EQ(engine.observed(), 1);
}

TEST(DiagnosticEngine, HotCPUForThirtySecondsIsAPossibleTemperatureWarning) {
    DiagnosticEngine engine;
    const auto hot = [](DiagnosticInput& in) { setTemperature(in, "TC0P", 92); };
    DiagnosticReport report = feed(engine, 0, 29, hot);
    EXPECT_EQ(engine.hotSeconds(), 29);
    EXPECT_EQ(ids(report), Strings{"temperature-observation"});
    EXPECT_EQ(report.state, DiagnosticState::sampling);

    report = feed(engine, 30, 30, hot);
    EXPECT_EQ(ids(report), Strings{"temperature"});
    const DiagnosticFinding& f = report.findings[0];
    EXPECT_EQ(f.kind, DiagnosticKind::temperature);
    EXPECT_EQ(f.severity, DiagnosticSeverity::warning);
    EXPECT_EQ(f.confidence, DiagnosticConfidence::possible);
    EXPECT_EQ(f.subject, "CPU");
    EXPECT_EQ(f.value, 92);
    EXPECT_EQ(f.seconds, 30);
    EXPECT_EQ(f.action, DiagnosticAction::temperatureTimeline());
    EXPECT_EQ(report.state, DiagnosticState::attention);
    EXPECT_EQ(report.attentionCount, 1);

    report = feed(engine, 31, 100, hot);
    EXPECT_EQ(report.findings[0].seconds, 100);  // hot time is not capped
}

// Hot and warm boundaries: which finding a sustained (40 s) reading gives.
struct HeatCase {
    double cpu;
    double gpu;
    const char* finding;  // "" for none
    const char* subject;
};

class DiagnosticHeat : public ::testing::TestWithParam<HeatCase> {};

TEST_P(DiagnosticHeat, ThresholdsAndSubjects) {
    DiagnosticEngine engine;
    const HeatCase c = GetParam();
    const DiagnosticReport report = feed(engine, 0, 40, [&](DiagnosticInput& in) {
        setTemperature(in, "TC0P", c.cpu);
        setTemperature(in, "TG0P", c.gpu);
    });
    if (std::string(c.finding).empty()) {
        EXPECT_TRUE(report.findings.empty());
        EXPECT_EQ(report.state, DiagnosticState::sampling);  // 40 s observed
        return;
    }
    // A CPU temperature that is not a number also makes the data incomplete.
    EXPECT_EQ(ids(report)[0], c.finding);
    EXPECT_EQ(report.findings.size(), std::isnan(c.cpu) ? 2u : 1u);
    EXPECT_EQ(report.findings[0].subject, c.subject);
    EXPECT_EQ(report.findings[0].value, std::string(c.subject) == "CPU" ? c.cpu : c.gpu);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, DiagnosticHeat,
                         ::testing::Values(HeatCase{90, 40, "temperature", "CPU"},
                                           HeatCase{89.99, 40, "temperature-observation", "CPU"},
                                           HeatCase{60, 85, "temperature", "GPU"},
                                           HeatCase{60, 84.99, "temperature-observation", "GPU"},
                                           HeatCase{88, 86, "temperature",
                                                    "GPU"},  // CPU not hot: GPU is
                                           HeatCase{80, 40, "temperature-observation", "CPU"},
                                           HeatCase{79.99, 40, "", ""},
                                           HeatCase{60, 75, "temperature-observation", "GPU"},
                                           HeatCase{60, 74.99, "", ""},
                                           HeatCase{81, 76, "temperature-observation", "CPU"},
                                           HeatCase{nan, 80, "temperature-observation", "GPU"}),
                         pyrelle::testing::caseNames([](const HeatCase& c) {
                             return pyrelle::testing::label("cpu", c.cpu, "gpu", c.gpu);
                         }));

TEST(DiagnosticEngine, SwitchingTheHotSourceRestartsTheCount) {
    DiagnosticEngine engine;
    feed(engine, 0, 20, [](DiagnosticInput& in) { setTemperature(in, "TC0P", 95); });
    EXPECT_EQ(engine.hotSeconds(), 20);
    feed(engine, 21, 21, [](DiagnosticInput& in) {
        setTemperature(in, "TC0P", 70);
        setTemperature(in, "TG0P", 90);
    });
    EXPECT_EQ(engine.hotSource(), SensorCategory::gpu);
    EXPECT_EQ(engine.hotSeconds(), 0);
    feed(engine, 22, 22);
    EXPECT_EQ(engine.hotSource(), std::nullopt);
    EXPECT_EQ(engine.hotSeconds(), 0);
}

TEST(DiagnosticEngine, ThermalStateAndLimitsAreAlternatives) {
    struct Case {
        int thermalState;
        std::optional<int> speedLimit;
        std::optional<int> availableCPUs;
        bool lowPower;
        const char* id;
        DiagnosticKind kind;
        DiagnosticSeverity severity;
        std::optional<double> value;
    };
    const std::vector<Case> cases = {
        {3, 70, 8, false, "thermal-pressure", DiagnosticKind::thermalLimit,
         DiagnosticSeverity::critical, 3},
        {2, 100, 8, false, "thermal-pressure", DiagnosticKind::thermalPressure,
         DiagnosticSeverity::warning, 2},
        {1, 80, 8, false, "system-limit", DiagnosticKind::performanceLimit,
         DiagnosticSeverity::warning, 80},
        {0, 80, 8, true, "system-limit", DiagnosticKind::performanceLimit,
         DiagnosticSeverity::information, 80},
        {0, std::nullopt, 6, false, "system-limit", DiagnosticKind::performanceLimit,
         DiagnosticSeverity::warning, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id + std::string(" state ") + std::to_string(c.thermalState));
        DiagnosticEngine engine;
        // Hot for 40 s as well: the limit or pressure still wins over the temperature rules.
        const DiagnosticReport report = feed(engine, 0, 40, [&](DiagnosticInput& in) {
            in.snapshot.thermalState = c.thermalState;
            in.snapshot.speedLimit = c.speedLimit;
            in.snapshot.availableCPUs = c.availableCPUs;
            in.snapshot.lowPower = c.lowPower;
            setTemperature(in, "TC0P", 96);
        });
        // A missing speed limit also makes the data incomplete; nothing else may fire.
        Strings expected{c.id};
        if (!c.speedLimit) expected.push_back("data-unavailable");
        ASSERT_EQ(ids(report), expected);
        const DiagnosticFinding& f = report.findings[0];
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.severity, c.severity);
        EXPECT_EQ(f.confidence, DiagnosticConfidence::confirmed);
        EXPECT_EQ(f.value, c.value);
        EXPECT_EQ(f.subject, std::nullopt);
        EXPECT_EQ(f.seconds, std::nullopt);
        EXPECT_EQ(report.attentionCount, c.severity == DiagnosticSeverity::information ? 0 : 1);
    }
}

TEST(DiagnosticEngine, MemoryPressureValues) {
    const std::vector<
        std::tuple<std::optional<MemoryPressure>, std::optional<double>, DiagnosticSeverity>>
        cases = {{MemoryPressure::warning, 2, DiagnosticSeverity::warning},
                 {MemoryPressure::critical, 4, DiagnosticSeverity::critical},
                 {MemoryPressure::normal, std::nullopt, {}},
                 {std::nullopt, std::nullopt, {}}};
    for (const auto& [pressure, expected, severity] : cases) {
        const DiagnosticReport report =
            evaluateOnce([&](DiagnosticInput& in) { in.snapshot.memoryPressure = pressure; });
        const DiagnosticFinding* f = findingWithID(report, "memory-pressure");
        if (!expected) {
            EXPECT_EQ(f, nullptr);
            continue;
        }
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->value, expected);
        EXPECT_EQ(f->severity, severity);
        EXPECT_EQ(f->action, DiagnosticAction::memoryProcesses());
    }
}

DiagnosticSource busy(std::string id, double average, double current) {
    return DiagnosticSource{id, id + " app", average, current, std::nullopt, std::nullopt, 0};
}

TEST(DiagnosticEngine, SustainedCPUBoundaries) {
    struct Case {
        const char* name;
        DiagnosticSource source;
        double processSeconds;
        double processAge;
        bool fires;
    };
    const std::vector<Case> cases = {
        {"at every threshold", busy("a", 100, 50), 45, 0, true},
        {"average just below", busy("a", 99.99, 500), 60, 0, false},
        {"current just below", busy("a", 400, 49.99), 60, 0, false},
        {"process data too short", busy("a", 400, 400), 44.99, 0, false},
        {"process data stale", busy("a", 400, 400), 60, 12.5, false},
        {"average not a number", busy("a", nan, 400), 60, 0, false},
        {"current infinite", busy("a", 400, std::numeric_limits<double>::infinity()), 60, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DiagnosticReport report = evaluateOnce([&](DiagnosticInput& in) {
            in.sources = {c.source};
            in.processSeconds = c.processSeconds;
            in.processDate = in.snapshot.date.adding(-c.processAge);
        });
        const DiagnosticFinding* f = findingWithID(report, "cpu:a");
        ASSERT_EQ(f != nullptr, c.fires);
        if (!f) continue;
        EXPECT_EQ(f->kind, DiagnosticKind::sustainedCPU);
        EXPECT_EQ(f->severity, DiagnosticSeverity::warning);
        EXPECT_EQ(f->confidence, DiagnosticConfidence::possible);  // never more than possible
        EXPECT_EQ(f->subject, "a app");
        EXPECT_EQ(f->value, 100);
        EXPECT_EQ(f->seconds, 45);
        EXPECT_EQ(f->action, DiagnosticAction::reviewApplication("a"));
    }
}

TEST(DiagnosticEngine, OnlyTheTwoBusiestSustainedSourcesAreNamed) {
    const DiagnosticReport report = evaluateOnce([](DiagnosticInput& in) {
        in.sources = {busy("m", 120, 60), busy("z", 150, 60), busy("b", 150, 60),
                      busy("c", 90, 300)};
        in.processSeconds = 50;
    });
    // The two busiest in input order among equals; the display order is then by id.
    EXPECT_EQ(ids(report), (Strings{"cpu:b", "cpu:z"}));
    EXPECT_EQ(report.findings[0].seconds, 50);
    EXPECT_EQ(report.attentionCount, 2);

    const DiagnosticReport capped = evaluateOnce([](DiagnosticInput& in) {
        in.sources = {busy("a", 300, 300)};
        in.processSeconds = 600;
    });
    EXPECT_EQ(capped.findings.at(0).seconds, 60);
}

DiagnosticSource disk(std::string id, std::optional<double> average, std::optional<double> current,
                      double seconds) {
    return DiagnosticSource{id, id + " app", 1, 1, average, current, seconds};
}

TEST(DiagnosticEngine, DiskActivityBoundaries) {
    struct Case {
        const char* name;
        DiagnosticSource source;
        std::optional<double> seconds;  // the finding's seconds when it fires
    };
    const std::vector<Case> cases = {
        {"exactly at every threshold", disk("d", 20971520, 5242880, 30), 30},
        {"long observation shows 60 s", disk("d", 20971520, 5242880, 90), 60},
        {"observed too briefly", disk("d", 20971520, 5242880, 29.9), std::nullopt},
        {"average just below", disk("d", 20971519, 5242880, 30), std::nullopt},
        {"current just below", disk("d", 20971520, 5242879, 30), std::nullopt},
        {"current unknown", disk("d", 20971520, std::nullopt, 30), std::nullopt},
        {"average not a number", disk("d", nan, 5242880, 30), std::nullopt},
        {"seconds not a number", disk("d", 20971520, 5242880, nan), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DiagnosticReport report = evaluateOnce([&](DiagnosticInput& in) {
            in.sources = {c.source};
            in.processSeconds = 0;  // disk activity needs fresh data, not a long history
        });
        const DiagnosticFinding* f = findingWithID(report, "disk:d");
        ASSERT_EQ(f != nullptr, c.seconds.has_value());
        if (!f) continue;
        EXPECT_EQ(f->seconds, c.seconds);
        EXPECT_EQ(f->value, 20971520);
        EXPECT_EQ(f->severity, DiagnosticSeverity::information);
        EXPECT_EQ(f->confidence, DiagnosticConfidence::confirmed);
        EXPECT_EQ(f->action, DiagnosticAction::reviewApplication("d"));
    }
}

TEST(DiagnosticEngine, OneDiskFindingForTheHeaviestEarliestSource) {
    const DiagnosticReport report = evaluateOnce([](DiagnosticInput& in) {
        in.sources = {disk("small", 3e7, 1e7, 60), disk("first", 9e7, 1e7, 60),
                      disk("second", 9e7, 1e7, 60)};
    });
    EXPECT_EQ(ids(report), Strings{"disk:first"});

    const DiagnosticReport stale = evaluateOnce([](DiagnosticInput& in) {
        in.sources = {disk("first", 9e7, 1e7, 60)};
        in.processDate.reset();
    });
    EXPECT_EQ(findingWithID(stale, "disk:first"), nullptr);
}

TEST(DiagnosticEngine, BatteryPolicyBoundaries) {
    struct Case {
        const char* name;
        std::optional<double> percent;
        std::optional<bool> acPower;
        bool lowPower;
        bool supported;
        bool fires;
    };
    const std::vector<Case> cases = {
        {"30.0 on battery", 30.0, false, false, true, true},
        {"empty battery", 0, false, false, true, true},
        {"30.5 on battery", 30.5, false, false, true, false},
        {"negative percent", -1, false, false, true, false},
        {"percent not a number", nan, false, false, true, false},
        {"percent unknown", std::nullopt, false, false, true, false},
        {"power source unknown", 20, std::nullopt, false, true, false},
        {"on AC power", 20, true, false, true, false},
        {"already in low-power mode", 20, false, true, true, false},
        {"no low-power mode on this Mac", 20, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DiagnosticReport report = evaluateOnce([&](DiagnosticInput& in) {
            in.batteryPercent = c.percent;
            in.snapshot.acPower = c.acPower;
            in.snapshot.lowPower = c.lowPower;
            in.supportsLowPowerMode = c.supported;
        });
        const DiagnosticFinding* f = findingWithID(report, "battery-policy");
        ASSERT_EQ(f != nullptr, c.fires);
        if (!f) continue;
        EXPECT_EQ(f->value, c.percent);
        EXPECT_EQ(f->action, DiagnosticAction::lowPowerPlan());
    }
}

TEST(DiagnosticEngine, SleepBlockers) {
    const std::vector<std::tuple<std::optional<int>, bool, bool>> cases = {
        // blockers, wake finding, data incomplete
        {1, true, false},
        {3, true, false},
        {0, false, false},
        {std::nullopt, false, true},
        {-1, false, true}};
    for (const auto& [blockers, fires, incomplete] : cases) {
        SCOPED_TRACE(blockers ? std::to_string(*blockers) : "unknown");
        const DiagnosticReport report =
            evaluateOnce([&](DiagnosticInput& in) { in.blockers = blockers; });
        const DiagnosticFinding* f = findingWithID(report, "wake-requests");
        ASSERT_EQ(f != nullptr, fires);
        if (f) {
            EXPECT_EQ(f->value, *blockers);
        }
        EXPECT_EQ(findingWithID(report, "data-unavailable") != nullptr, incomplete);
        EXPECT_EQ(report.metrics->wakeRequestsKnown, !incomplete);
    }
}

}  // namespace
}  // namespace pyrelle
