// Cost of the analysis calls the desktop application makes once per sample: one activity-window
// record with 500 applications over a full 60-second window, and one diagnostic evaluation.
// Copying the 500 input rows is measured beside them as the floor any value-based record pays.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "pyrelle/CPUActivityWindow.hpp"
#include "pyrelle/DiagnosticEngine.hpp"

namespace {

using namespace pyrelle;

constexpr int sourceCount = 500;

std::vector<ActivitySource> sources(int sample) {
    std::vector<ActivitySource> result;
    result.reserve(sourceCount);
    for (int i = 0; i < sourceCount; ++i) {
        ActivitySource source;
        source.id = "com.example.application-" + std::to_string(i);
        source.name = "Application " + std::to_string(i);
        source.cpu = (i * 37 + sample * 11) % 400 * 0.5;
        if (i % 3 != 0) source.diskRate = (i * 7919 + sample) % 100000 * 512.0;
        result.push_back(std::move(source));
    }
    return result;
}

// A window that already covers 60 one-second frames of 500 applications each.
CPUActivityWindow fullWindow(const std::vector<std::vector<ActivitySource>>& samples) {
    CPUActivityWindow window(60);
    for (int t = 0; t <= 61; ++t) window.record(samples[t % samples.size()], t);
    return window;
}

void BM_CopySources(benchmark::State& state) {
    const std::vector<ActivitySource> input = sources(0);
    for (auto _ : state) {
        std::vector<ActivitySource> copy = input;
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["sources"] = sourceCount;
}
BENCHMARK(BM_CopySources);

void BM_RecordFullWindow(benchmark::State& state) {
    std::vector<std::vector<ActivitySource>> samples;
    for (int s = 0; s < 8; ++s) samples.push_back(sources(s));
    CPUActivityWindow window = fullWindow(samples);
    double time = 61;
    for (auto _ : state) {
        time += 1;
        window.record(samples[static_cast<std::size_t>(time) % samples.size()], time);
        benchmark::DoNotOptimize(window.rows().data());
    }
    state.counters["sources"] = sourceCount;
    state.counters["frames"] = window.seconds();
    state.counters["rows"] = static_cast<double>(window.rows().size());
}
BENCHMARK(BM_RecordFullWindow);

DiagnosticInput input(double seconds, const std::vector<DiagnosticSource>& rows) {
    DiagnosticInput in;
    Snapshot& s = in.snapshot;
    s.date = Date(800000000 + seconds);
    s.cpuUsage = 63;
    for (int core = 0; core < 12; ++core)
        s.sensors.push_back(
            SensorReading{"TC" + std::to_string(core) + "C", "CPU core", 70.0 + core});
    s.sensors.push_back(SensorReading{"TG0P", "GPU", 64});
    s.speedLimit = 100;
    s.schedulerLimit = 100;
    s.availableCPUs = 12;
    s.totalCPUs = 12;
    s.acPower = false;
    s.memoryPressure = MemoryPressure::warning;
    in.sources = rows;
    in.processSeconds = 60;
    in.processDate = s.date;
    in.blockers = 2;
    in.batteryPercent = 25;
    in.supportsLowPowerMode = true;
    return in;
}

void BM_Evaluate(benchmark::State& state) {
    std::vector<std::vector<ActivitySource>> samples;
    for (int s = 0; s < 8; ++s) samples.push_back(sources(s));
    const CPUActivityWindow window = fullWindow(samples);
    std::vector<DiagnosticSource> rows;
    for (const SustainedActivity& row : window.rows()) rows.push_back(DiagnosticSource::from(row));

    DiagnosticEngine engine;
    std::vector<DiagnosticInput> inputs;
    for (int t = 0; t < 64; ++t) inputs.push_back(input(t, rows));
    for (int t = 0; t < 60; ++t) engine.evaluate(inputs[t]);  // settled: 60 s observed
    std::size_t findings = 0;
    double time = 60;
    for (auto _ : state) {
        // Dates keep advancing by one second so every call is a continuous, settled evaluation.
        DiagnosticInput& next = inputs[static_cast<std::size_t>(time) % inputs.size()];
        next.snapshot.date = Date(800000000 + time);
        next.processDate = next.snapshot.date;
        time += 1;
        const DiagnosticReport report = engine.evaluate(next);
        findings = report.findings.size();
        benchmark::DoNotOptimize(report.findings.data());
    }
    state.counters["sources"] = static_cast<double>(rows.size());
    state.counters["findings"] = static_cast<double>(findings);
}
BENCHMARK(BM_Evaluate);

}  // namespace

BENCHMARK_MAIN();
