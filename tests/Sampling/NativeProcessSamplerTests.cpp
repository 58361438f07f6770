// The process sampler over scripted process tables: priming, elapsed time, percentages above
// 100, reused pids, counters going backwards, failed snapshots and ordering; and the two rate
// formulas on their own.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "pyrelle/NativeProcessSampler.hpp"
#include "pyrelle/ProcessCPU.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle {
namespace {

PYRProcessSnapshot process(int32_t pid, uint64_t started, uint64_t cpuNs, uint64_t read = 0,
                           uint64_t written = 0, const char* name = "proc") {
    PYRProcessSnapshot entry{};
    entry.pid = pid;
    entry.parent_pid = 1;
    entry.uid = 501;
    entry.started = started;
    entry.cpu_ns = cpuNs;
    entry.memory_bytes = 4096;
    entry.disk_read_bytes = read;
    entry.disk_write_bytes = written;
    std::strncpy(entry.name, name, sizeof entry.name - 1);
    return entry;
}

// Plays back one scripted table per call; a table of std::nullopt fails the snapshot.
struct ScriptedTables {
    std::deque<std::optional<std::vector<PYRProcessSnapshot>>> tables;
    int32_t failures = 0;
    int32_t lastCapacity = 0;

    NativeProcessSampler::SnapshotFunction function() {
        return [this](PYRProcessSnapshot* out, int32_t capacity, int32_t* failed) -> int32_t {
            lastCapacity = capacity;
            if (failed) *failed = failures;
            auto table = tables.front();
            tables.pop_front();
            if (!table) return -1;
            const auto count = std::min<size_t>(table->size(), static_cast<size_t>(capacity));
            std::copy_n(table->begin(), count, out);
            return static_cast<int32_t>(count);
        };
    }
};

TEST(NativeProcessSampler, FirstCallPrimesAndReportsFailures) {
    ScriptedTables script;
    script.failures = 3;
    script.tables = {std::vector{process(10, 1, 0)}, std::vector{process(10, 1, 500'000'000)}};
    NativeProcessSampler sampler(script.function());
    EXPECT_TRUE(sampler.sample(100.0).empty());
    EXPECT_EQ(sampler.inaccessible(), 3);
    EXPECT_EQ(script.lastCapacity, 4096);
    const auto readings = sampler.sample(101.0);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_DOUBLE_EQ(readings[0].cpu, 50.0);
    EXPECT_EQ(readings[0].name, "proc");
    EXPECT_EQ(readings[0].uid, 501u);
    EXPECT_EQ(readings[0].memory, 4096u);
}

TEST(NativeProcessSampler, SeveralCoresGiveMoreThanOneHundredPercent) {
    ScriptedTables script;
    script.tables = {std::vector{process(10, 1, 1'000'000'000)},
                     std::vector{process(10, 1, 1'250'000'000)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(5.0);
    const auto readings = sampler.sample(5.1);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_NEAR(readings[0].cpu, 250.0, 1e-9);
}

TEST(NativeProcessSampler, EqualTimesReportNothingButStoreTheCounters) {
    ScriptedTables script;
    script.tables = {std::vector{process(10, 1, 0)}, std::vector{process(10, 1, 100)},
                     std::vector{process(10, 1, 1'000'000'100)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(7.0);
    EXPECT_TRUE(sampler.sample(7.0).empty());
    const auto readings = sampler.sample(8.0);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_DOUBLE_EQ(readings[0].cpu, 100.0);  // measured from the counters stored at 7.0
}

TEST(NativeProcessSampler, AReusedPidIsSkippedOnceThenReported) {
    ScriptedTables script;
    script.tables = {std::vector{process(10, 1, 9'000'000'000)},
                     std::vector{process(10, 2, 100'000'000)},
                     std::vector{process(10, 2, 200'000'000)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(1.0);
    EXPECT_TRUE(sampler.sample(2.0).empty());
    const auto readings = sampler.sample(3.0);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_EQ(readings[0].started, 2u);
    EXPECT_NEAR(readings[0].cpu, 10.0, 1e-9);
}

TEST(NativeProcessSampler, CountersGoingBackwards) {
    ScriptedTables script;
    script.tables = {std::vector{process(10, 1, 500, 1000, 1000), process(11, 1, 900)},
                     std::vector{process(10, 1, 1'000'000'500, 400, 3000), process(11, 1, 100)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(0.0);
    const auto readings = sampler.sample(2.0);
    ASSERT_EQ(readings.size(), 1u);  // pid 11's CPU counter went back: dropped for this call
    EXPECT_EQ(readings[0].pid, 10);
    EXPECT_DOUBLE_EQ(readings[0].cpu, 50.0);
    EXPECT_FALSE(readings[0].diskReadRate);  // dropped read counter: no rate, CPU still shown
    EXPECT_EQ(readings[0].diskWriteRate, 1000.0);
    EXPECT_FALSE(readings[0].diskRate());
}

TEST(NativeProcessSampler, UnknownDiskCountersGiveAbsentRatesNeverZero) {
    const uint64_t unknown = PYR_COUNTER_UNKNOWN;
    ScriptedTables script;
    script.tables = {std::vector{process(10, 1, 0, unknown, unknown),
                                 process(11, 1, 0, unknown, 10), process(12, 1, 0, 100, 100)},
                     std::vector{process(10, 1, 100, unknown, unknown), process(11, 1, 100, 50, 30),
                                 process(12, 1, 100, unknown, 300)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(0.0);
    auto readings = sampler.sample(2.0);
    ASSERT_EQ(readings.size(), 3u);
    std::sort(readings.begin(), readings.end(),
              [](const auto& a, const auto& b) { return a.pid < b.pid; });
    EXPECT_FALSE(readings[0].diskReadRate);  // another user's process: still listed, no rates
    EXPECT_FALSE(readings[0].diskWriteRate);
    EXPECT_FALSE(readings[0].diskRate());
    EXPECT_FALSE(readings[1].diskReadRate);  // became readable: the next sample has a rate
    EXPECT_EQ(readings[1].diskWriteRate, 10.0);
    EXPECT_FALSE(readings[2].diskReadRate);  // became unreadable
    EXPECT_EQ(readings[2].diskWriteRate, 100.0);
}

TEST(NativeProcessSampler, BusiestFirstAndEqualValuesKeepSnapshotOrder) {
    ScriptedTables script;
    script.tables = {
        std::vector{process(1, 1, 0, 0, 0, "a"), process(2, 1, 0, 0, 0, "b"),
                    process(3, 1, 0, 0, 0, "c"), process(4, 1, 0, 0, 0, "d")},
        std::vector{process(1, 1, 100'000'000, 0, 0, "a"), process(2, 1, 300'000'000, 0, 0, "b"),
                    process(3, 1, 100'000'000, 0, 0, "c"), process(4, 1, 0, 0, 0, "d")}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(0.0);
    const auto readings = sampler.sample(1.0);
    std::vector<std::string> names;
    for (const auto& reading : readings) names.push_back(reading.name);
    EXPECT_EQ(names, (std::vector<std::string>{"b", "a", "c", "d"}));
    EXPECT_EQ(readings[3].diskRate(), 0.0);
}

TEST(NativeProcessSampler, AFailedSnapshotKeepsThePreviousState) {
    ScriptedTables script;
    script.failures = 2;
    script.tables = {std::vector{process(10, 1, 0)}, std::nullopt,
                     std::vector{process(10, 1, 2'000'000'000)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(0.0);
    EXPECT_TRUE(sampler.sample(1.0).empty());
    EXPECT_EQ(sampler.inaccessible(), 2);
    const auto readings = sampler.sample(4.0);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_DOUBLE_EQ(readings[0].cpu, 50.0);  // elapsed since the last successful sample
}

TEST(NativeProcessSampler, EndedProcessesAreForgotten) {
    ScriptedTables script;
    script.tables = {std::vector{process(10, 1, 0)}, std::vector<PYRProcessSnapshot>{},
                     std::vector{process(10, 1, 100)}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(0.0);
    EXPECT_TRUE(sampler.sample(1.0).empty());
    EXPECT_TRUE(sampler.sample(2.0).empty());  // seen again, but as a first observation
}

TEST(NativeProcessSampler, UnterminatedNamesAreCutAtTheRecordsEnd) {
    ScriptedTables script;
    PYRProcessSnapshot entry = process(10, 1, 0);
    std::memset(entry.name, 'x', sizeof entry.name);
    script.tables = {std::vector{entry}, std::vector{entry}};
    NativeProcessSampler sampler(script.function());
    sampler.sample(0.0);
    const auto readings = sampler.sample(1.0);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_EQ(readings[0].name, std::string(96, 'x'));
}

TEST(NativeProcessSampler, LiveSnapshotsOfThisMachine) {
    NativeProcessSampler sampler;
    EXPECT_TRUE(sampler.sample(0.0).empty());
    volatile double sink = 0;
    for (int i = 0; i < 3'000'000; ++i) sink = sink + i * 0.5;
    const auto readings = sampler.sample(1.0);
    EXPECT_FALSE(readings.empty());
    EXPECT_GE(sampler.inaccessible(), 0);
}

struct RateCase {
    uint64_t previous, current;
    double elapsed;
    bool same;
    std::optional<double> percent, rate;
};

class ProcessCPUFormulas : public ::testing::TestWithParam<RateCase> {};

TEST_P(ProcessCPUFormulas, PercentAndRate) {
    const auto& c = GetParam();
    EXPECT_EQ(ProcessCPU::percent(c.previous, c.current, c.elapsed, c.same), c.percent);
    EXPECT_EQ(ProcessCPU::rate(c.previous, c.current, c.elapsed, c.same), c.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessCPUFormulas,
    ::testing::Values(
        RateCase{0, 500'000'000, 1.0, true, 50.0, 500'000'000.0},
        RateCase{100, 100, 1.0, true, 0.0, 0.0},
        RateCase{0, 500'000'000, 1.0, false, std::nullopt, std::nullopt},
        RateCase{0, 1, 0.0, true, std::nullopt, std::nullopt},
        RateCase{0, 1, -1.0, true, std::nullopt, std::nullopt},
        RateCase{0, 1, std::numeric_limits<double>::infinity(), true, std::nullopt, std::nullopt},
        RateCase{0, 1, std::numeric_limits<double>::quiet_NaN(), true, std::nullopt, std::nullopt},
        RateCase{5, 4, 1.0, true, std::nullopt, std::nullopt},
        RateCase{0, UINT64_MAX, 1e-300, true, std::nullopt, std::nullopt}),
    pyrelle::testing::caseNames([](const RateCase& c) {
        return c.percent ? pyrelle::testing::label("percent", *c.percent) : std::string("absent");
    }));

}  // namespace
}  // namespace pyrelle
