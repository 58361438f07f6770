#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>

#include "pyrelle/CPUActivityWindow.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

ActivitySource source(std::string id, double cpu, std::optional<double> rate = std::nullopt) {
    return ActivitySource{id, id + "-name", cpu, rate};
}

const SustainedActivity* row(const CPUActivityWindow& window, const std::string& id) {
    for (const SustainedActivity& r : window.rows())
        if (r.id == id) return &r;
    return nullptr;
}

TEST(CPUActivityWindow, LengthIsAtLeastOneSecond) {
    EXPECT_EQ(CPUActivityWindow(0).window(), 1);
    EXPECT_EQ(CPUActivityWindow(-5).window(), 1);
    EXPECT_EQ(CPUActivityWindow(nan).window(), 1);
    EXPECT_EQ(CPUActivityWindow(0.5).window(), 1);
    EXPECT_EQ(CPUActivityWindow(60).window(), 60);
}

TEST(CPUActivityWindow, FirstRecordOnlySetsTheStartingPoint) {
    CPUActivityWindow window(60);
    window.record({source("a", 80)}, 100);
    EXPECT_TRUE(window.rows().empty());
    EXPECT_EQ(window.seconds(), 0);

    window.record({source("a", 150)}, 101);
    ASSERT_EQ(window.rows().size(), 1u);
    const SustainedActivity& a = window.rows()[0];
    EXPECT_EQ(a.averageCPU, 150);  // the first sample's figure describes no interval
    EXPECT_EQ(a.currentCPU, 150);
    EXPECT_EQ(a.cpuShare, 100);
    EXPECT_EQ(a.name, "a-name");
    EXPECT_EQ(window.seconds(), 1);
}

TEST(CPUActivityWindow, AverageIsWeightedByEachIntervalsLength) {
    CPUActivityWindow window(60);
    window.record({source("a", 0)}, 0);
    window.record({source("a", 100)}, 1);
    window.record({source("a", 50)}, 2);
    ASSERT_EQ(window.rows().size(), 1u);
    EXPECT_DOUBLE_EQ(window.rows()[0].averageCPU, 75);
    EXPECT_EQ(window.rows()[0].currentCPU, 50);
    EXPECT_EQ(window.seconds(), 2);

    window.record({source("a", 200)}, 4);  // a 2-second interval weighs twice
    EXPECT_DOUBLE_EQ(window.rows()[0].averageCPU, (100 + 50 + 2 * 200) / 4.0);
}

// Which gaps continue a stretch and which restart it.
struct GapCase {
    double second;
    bool continues;
};

class CPUActivityWindowGap : public ::testing::TestWithParam<GapCase> {};

TEST_P(CPUActivityWindowGap, OnlyStrictlyLaterSamplesWithinFifteenSecondsContinue) {
    CPUActivityWindow window(60);
    window.record({source("a", 10)}, 100);
    window.record({source("a", 20)}, 101);
    ASSERT_EQ(window.rows().size(), 1u);

    window.record({source("a", 30)}, GetParam().second);
    EXPECT_EQ(window.rows().empty(), !GetParam().continues);
    if (!GetParam().continues) {
        EXPECT_EQ(window.seconds(), 0);
        // The restarting sample is the new starting point.
        window.record({source("a", 40)}, GetParam().second + 1);
        ASSERT_EQ(window.rows().size(), 1u);
        EXPECT_EQ(window.rows()[0].averageCPU, 40);
        EXPECT_EQ(window.seconds(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Gaps, CPUActivityWindowGap,
                         ::testing::Values(GapCase{116, true},   // exactly 15 s
                                           GapCase{117, false},  // 16 s
                                           GapCase{101, false},  // same time
                                           GapCase{90, false}),  // clock stepped back
                         pyrelle::testing::caseNames([](const GapCase& c) {
                             return pyrelle::testing::label("at", c.second,
                                                            c.continues ? "continues" : "breaks");
                         }));

TEST(CPUActivityWindow, NonFiniteTimeChangesNothing) {
    CPUActivityWindow window(60);
    window.record({source("a", 10)}, 0);
    window.record({source("a", 20)}, 1);
    const auto rows = window.rows();
    window.record({source("a", 99)}, nan);
    window.record({source("a", 99)}, inf);
    window.record({source("a", 99)}, -inf);
    EXPECT_EQ(window.rows(), rows);
    window.record({source("a", 30)}, 2);  // still continuous with the sample at 1
    EXPECT_EQ(window.seconds(), 2);
}

TEST(CPUActivityWindow, DuplicateIdsAreMergedAndAnUnknownRateMakesTheSumUnknown) {
    CPUActivityWindow window(60);
    window.record({source("a", 1)}, 0);
    window.record({ActivitySource{"a", "first", 30, 1000}, ActivitySource{"a", "second", 40, 2000},
                   ActivitySource{"b", "b", 30, 1000}, ActivitySource{"b", "b", 40, std::nullopt},
                   ActivitySource{"c", "c", 30, std::nullopt}, ActivitySource{"c", "c", 40, 2000},
                   ActivitySource{"d", "d", 30, 1000}, ActivitySource{"d", "d", 40, -1}},
                  1);
    const SustainedActivity* a = row(window, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->currentCPU, 70);
    EXPECT_EQ(a->currentDiskRate, 3000);
    EXPECT_EQ(a->name, "second");  // the last name in input order wins
    for (const char* id : {"b", "c", "d"}) {
        const SustainedActivity* r = row(window, id);
        ASSERT_NE(r, nullptr) << id;
        EXPECT_EQ(r->currentCPU, 70) << id;
        EXPECT_EQ(r->currentDiskRate, std::nullopt) << id;
        EXPECT_EQ(r->averageDiskRate, std::nullopt) << id;
        EXPECT_EQ(r->diskSeconds, 0) << id;
    }
}

TEST(CPUActivityWindow, InvalidCPUFiguresNeverGetARow) {
    CPUActivityWindow window(60);
    window.record({source("a", 1)}, 0);
    window.record({source("a", 10), source("neg", -1), source("nan", nan), source("inf", inf),
                   source("a", nan)},
                  1);
    ASSERT_EQ(window.rows().size(), 1u);
    EXPECT_EQ(window.rows()[0].id, "a");
    EXPECT_EQ(window.rows()[0].currentCPU, 10);

    // A sum that overflows keeps the earlier entry unchanged.
    const double big = std::numeric_limits<double>::max();
    window.record({ActivitySource{"a", "kept", big, 5}, ActivitySource{"a", "lost", big, 7}}, 2);
    ASSERT_EQ(window.rows().size(), 1u);
    EXPECT_EQ(window.rows()[0].name, "kept");
    EXPECT_EQ(window.rows()[0].currentCPU, big);
    EXPECT_EQ(window.rows()[0].currentDiskRate, 5);
}

TEST(CPUActivityWindow, ASampleWithoutValidSourcesClearsEverything) {
    CPUActivityWindow window(60);
    window.record({source("a", 10)}, 0);
    window.record({source("a", 10)}, 1);
    window.record({source("x", -1)}, 2);
    EXPECT_TRUE(window.rows().empty());
    EXPECT_EQ(window.seconds(), 0);
    // The starting time is gone too: the next sample starts afresh even though it is close.
    window.record({source("a", 10)}, 3);
    EXPECT_TRUE(window.rows().empty());
    window.record({source("a", 10)}, 4);
    EXPECT_EQ(window.seconds(), 1);
}

TEST(CPUActivityWindow, AnApplicationThatStopsAppearingStillLowersTheOthersShare) {
    CPUActivityWindow window(60);
    window.record({source("a", 0), source("gone", 0)}, 0);
    window.record({source("a", 100), source("gone", 300)}, 1);
    window.record({source("a", 100)}, 2);
    ASSERT_EQ(window.rows().size(), 1u);  // no row for "gone"
    EXPECT_DOUBLE_EQ(window.rows()[0].cpuShare, 200.0 / 500.0 * 100);
    EXPECT_DOUBLE_EQ(window.rows()[0].averageCPU, 100);
}

TEST(CPUActivityWindow, FramesLeaveAtTheCutoffAndAStraddlingFrameCountsOnlyItsRecentPart) {
    CPUActivityWindow window(60);
    window.record({source("a", 0)}, 0);
    window.record({source("a", 600)}, 10);  // [0, 10]
    window.record({source("a", 0)}, 20);    // [10, 20]
    for (double t = 30; t <= 70; t += 10) window.record({source("a", 0)}, t);
    // cutoff 10: the frame ending exactly at 10 is gone, 60 s remain.
    EXPECT_EQ(window.seconds(), 60);
    EXPECT_EQ(window.rows()[0].averageCPU, 0);

    CPUActivityWindow straddle(60);
    straddle.record({source("a", 0)}, 0);
    straddle.record({source("a", 600)}, 10);  // [0, 10]
    for (double t = 20; t <= 60; t += 10) straddle.record({source("a", 0)}, t);
    straddle.record({source("a", 0)}, 64);
    // cutoff 4: only 6 of the frame's 10 seconds lie inside the window.
    EXPECT_DOUBLE_EQ(straddle.seconds(), 60);
    EXPECT_DOUBLE_EQ(straddle.rows()[0].averageCPU, 6 * 600 / 60.0);
}

TEST(CPUActivityWindow, DiskAverageCoversOnlyTheTimeTheRateWasKnown) {
    CPUActivityWindow window(60);
    window.record({source("a", 10)}, 0);
    for (int t = 1; t <= 55; ++t) window.record({source("a", 10)}, t);
    for (int t = 56; t <= 60; ++t) window.record({source("a", 10, 1000.0 * t)}, t);
    const SustainedActivity& a = window.rows().at(0);
    EXPECT_DOUBLE_EQ(a.diskSeconds, 5);
    EXPECT_DOUBLE_EQ(*a.averageDiskRate, 1000.0 * (56 + 57 + 58 + 59 + 60) / 5);
    EXPECT_EQ(a.currentDiskRate, 60000);
    EXPECT_EQ(window.seconds(), 60);
}

TEST(CPUActivityWindow, RowsRankByAverageThenById) {
    CPUActivityWindow window(60);
    window.record({source("c", 0)}, 0);
    window.record({source("c", 50), source("b", 90), source("a", 50), source("d", 120)}, 1);
    std::vector<std::string> ids;
    for (const SustainedActivity& r : window.rows()) ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"d", "b", "a", "c"}));
}

// Applications that come and go (ids leaving the window and new ones arriving) must never
// inherit figures from one another. Checked against the plain definition over random samples.
TEST(CPUActivityWindow, ChurningApplicationsMatchThePlainDefinition) {
    std::mt19937 random(7);
    CPUActivityWindow window(20);
    struct Sample {
        double time;
        std::map<std::string, std::pair<double, std::optional<double>>> figures;
    };
    std::vector<Sample> history;  // accepted samples of the current stretch
    double time = 0;
    for (int round = 0; round < 400; ++round) {
        time += round % 97 == 96 ? 30 : 1 + random() % 3;  // an occasional gap restarts
        std::vector<ActivitySource> input;
        Sample sample{time, {}};
        for (int i = 0; i < 6; ++i) {
            const std::string id = "app-" + std::to_string(random() % 40);
            if (sample.figures.count(id)) continue;
            const double cpu = static_cast<double>(random() % 300);
            const std::optional<double> rate =
                random() % 4 ? std::optional<double>(random() % 1000) : std::nullopt;
            input.push_back(ActivitySource{id, id, cpu, rate});
            sample.figures[id] = {cpu, rate};
        }
        const bool restart = history.empty() || time - history.back().time > 15;
        window.record(input, time);
        if (restart) history.clear();
        history.push_back(sample);
        if (restart) continue;

        const double cutoff = time - 20;
        double covered = 0, total = 0;
        std::map<std::string, double> cpuTime, diskTime;
        for (std::size_t k = 1; k < history.size(); ++k) {
            if (history[k].time <= cutoff) continue;
            const double d = history[k].time - std::max(history[k - 1].time, cutoff);
            covered += d;
            for (const auto& [id, figures] : history[k].figures) {
                cpuTime[id] += d * figures.first;
                total += d * figures.first;
                if (figures.second) diskTime[id] += d;
            }
        }
        ASSERT_DOUBLE_EQ(window.seconds(), covered);
        ASSERT_EQ(window.rows().size(), sample.figures.size());
        for (const SustainedActivity& r : window.rows()) {
            ASSERT_NEAR(r.averageCPU, cpuTime[r.id] / covered, 1e-9) << r.id;
            ASSERT_NEAR(r.cpuShare, total > 0 ? cpuTime[r.id] / total * 100 : 0, 1e-9) << r.id;
            ASSERT_DOUBLE_EQ(r.diskSeconds, diskTime[r.id]) << r.id;
        }
    }
}

}  // namespace
}  // namespace pyrelle
