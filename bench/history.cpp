// Speed of the analysis code behind charts and export: the CSV writer against the bare cost of
// formatting its numbers, decimation, one common-sensor record and axis ticks.

#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "pyrelle/ChartCoordinates.hpp"
#include "pyrelle/CommonSensorHistory.hpp"
#include "pyrelle/Export.hpp"
#include "pyrelle/MetricPlot.hpp"
#include "pyrelle/SensorCatalog.hpp"
#include "pyrelle/SensorInventory.hpp"

namespace {

using namespace pyrelle;

const Date start = Date::fromUnixTime(1735787045);

// A laptop-like snapshot: a dozen temperature probes, two fans, a power rail.
Snapshot machineSnapshot(int i) {
    Snapshot s;
    s.date = start.adding(i);
    s.cpuUsage = 5 + std::fmod(i * 7.31, 90.0);
    s.totalCPUs = 14;
    s.availableCPUs = 14;
    s.speedLimit = 100;
    s.schedulerLimit = 100;
    s.thermalState = i % 4 == 0 ? 1 : 0;
    s.turbo = TurboState::unsupported;
    s.acPower = i % 3 != 0;
    s.lowPower = false;
    s.smcAvailable = true;
    static const char* keys[] = {"TC0P", "TC0D", "TC1C", "TC2C", "Tp01", "Tp05",
                                 "Te05", "Te0S", "Tg0K", "TG0P", "Tm0p", "TH0x"};
    for (int k = 0; k < 12; ++k)
        s.sensors.push_back({keys[k], keys[k], 40 + std::fmod(i * 0.37 + k * 3.1, 50.0)});
    s.fans.push_back({0, 1200 + std::fmod(i * 13.7, 3000.0), 1200.0, 5000.0, false, true});
    s.fans.push_back({1, 1250 + std::fmod(i * 11.3, 3000.0), 1200.0, 5000.0, false, true});
    s.additionalSensors =
        std::vector<HardwareSensorReading>{{"PSTR", "PSTR", HardwareSensorKind::power, 18.5}};
    return s;
}

const std::vector<Snapshot>& exportInput() {
    static const std::vector<Snapshot> snapshots = [] {
        std::vector<Snapshot> out;
        out.reserve(100'000);
        for (int i = 0; i < 100'000; ++i) out.push_back(machineSnapshot(i));
        return out;
    }();
    return snapshots;
}

void BM_ExportCSV(benchmark::State& state) {
    const auto& snapshots = exportInput();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = Export::csv(snapshots);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["ns_per_line"] = benchmark::Counter(
        static_cast<double>(snapshots.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ExportCSV)->Unit(benchmark::kMillisecond);

// The floor under the CSV writer: only the number formatting it cannot avoid (the same "%.2f"
// and integer conversions of the same values, already extracted, into one preallocated
// buffer), with no timestamps, lookups or line building.
void BM_ExportNumbersOnly(benchmark::State& state) {
    const auto& snapshots = exportInput();
    struct Row {
        double usage, temperature, fan0, fan1;
        int speed, scheduler, available, total, thermal;
    };
    std::vector<Row> rows;
    rows.reserve(snapshots.size());
    for (const auto& s : snapshots)
        rows.push_back({*s.cpuUsage, *s.cpuTemperature(), *s.fans[0].rpm, *s.fans[1].rpm,
                        *s.speedLimit, *s.schedulerLimit, *s.availableCPUs, s.totalCPUs,
                        s.thermalState});
    std::vector<char> buffer(rows.size() * 64);
    std::size_t bytes = 0;
    for (auto _ : state) {
        char* out = buffer.data();
        char* const end = buffer.data() + buffer.size();
        for (const Row& r : rows) {
            for (double v : {r.usage, r.temperature, r.fan0, r.fan1})
                out = std::to_chars(out, end, v, std::chars_format::fixed, 2).ptr;
            for (int v : {r.speed, r.scheduler, r.available, r.total, r.thermal})
                out = std::to_chars(out, end, v).ptr;
        }
        bytes = static_cast<std::size_t>(out - buffer.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["ns_per_line"] = benchmark::Counter(
        static_cast<double>(rows.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ExportNumbersOnly)->Unit(benchmark::kMillisecond);

void BM_Decimate1000To120(benchmark::State& state) {
    std::vector<MetricPoint> points;
    for (int i = 0; i < 1000; ++i)
        points.push_back({start.adding(i), 50 + 30 * std::sin(i * 0.05) + (i % 7), 0});
    for (auto _ : state) {
        auto result = MetricPlot::decimated(points, 120);
        benchmark::DoNotOptimize(result.data());
    }
}
BENCHMARK(BM_Decimate1000To120);

void BM_CommonSensorHistoryRecord(benchmark::State& state) {
    CommonSensorHistory history;
    int i = 0;
    // Steady state: every sensor history is already full.
    for (; i < 1200; ++i) history.record(machineSnapshot(i), SensorNamingPlatform::appleM4ProMax);
    Snapshot snapshot = machineSnapshot(i);
    for (auto _ : state) {
        snapshot.date = start.adding(i++);
        history.record(snapshot, SensorNamingPlatform::appleM4ProMax);
    }
    benchmark::DoNotOptimize(history.readings().data());
}
BENCHMARK(BM_CommonSensorHistoryRecord);

// The part of a record spent outside the history: flattening and condensing the snapshot's
// sensors (inventory and catalogue).
void BM_CommonReadingsOfSnapshot(benchmark::State& state) {
    const Snapshot snapshot = machineSnapshot(7);
    for (auto _ : state) {
        auto readings = SensorCatalog::common(SensorInventory::readings(snapshot),
                                              SensorNamingPlatform::appleM4ProMax);
        benchmark::DoNotOptimize(readings.data());
    }
}
BENCHMARK(BM_CommonReadingsOfSnapshot);

void BM_ChartTicks(benchmark::State& state) {
    double upper = 100;
    for (auto _ : state) {
        auto ticks = ChartCoordinates::ticks({0, upper}, 4);
        benchmark::DoNotOptimize(ticks.data());
        upper = upper < 5000 ? upper * 1.7 : 97;
    }
}
BENCHMARK(BM_ChartTicks);

}  // namespace

BENCHMARK_MAIN();
