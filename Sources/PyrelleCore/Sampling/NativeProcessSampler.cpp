#include "pyrelle/NativeProcessSampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pyrelle/ProcessCPU.hpp"

namespace pyrelle {

namespace {

// A disk rate only between two known counters: a counter the system would not give is
// absent, never a rate of 0.
std::optional<double> diskRate(uint64_t previous, uint64_t current, double elapsed, bool same) {
    if (previous == PYR_COUNTER_UNKNOWN || current == PYR_COUNTER_UNKNOWN) return std::nullopt;
    return ProcessCPU::rate(previous, current, elapsed, same);
}

}  // namespace

NativeProcessSampler::NativeProcessSampler() : NativeProcessSampler(pyr_process_snapshot) {}

NativeProcessSampler::NativeProcessSampler(SnapshotFunction snapshot)
    : snapshot_(std::move(snapshot)), buffer_(capacity) {}

std::vector<ProcessReading> NativeProcessSampler::sample(double now) {
    int32_t failures = 0;
    const int32_t count = snapshot_ ? snapshot_(buffer_.data(), capacity, &failures) : -1;
    inaccessible_ = std::max(failures, 0);
    if (count < 0) return {};
    const int32_t filled = std::min(count, capacity);

    std::unordered_map<int32_t, Counters> current;
    current.reserve(static_cast<size_t>(filled));
    std::vector<ProcessReading> readings;
    const double elapsed = previousTime_ ? now - *previousTime_ : 0;
    for (int32_t i = 0; i < filled; ++i) {
        const PYRProcessSnapshot& entry = buffer_[static_cast<size_t>(i)];
        current[entry.pid] =
            Counters{entry.started, entry.cpu_ns, entry.disk_read_bytes, entry.disk_write_bytes};

        const auto before = previous_.find(entry.pid);
        if (before == previous_.end() || !previousTime_) continue;
        const bool same = before->second.started == entry.started;
        const auto cpu = ProcessCPU::percent(before->second.cpu, entry.cpu_ns, elapsed, same);
        if (!cpu) continue;  // another instance, no elapsed time or the CPU counter went back

        ProcessReading reading;
        reading.pid = entry.pid;
        reading.parentPID = entry.parent_pid;
        reading.uid = entry.uid;
        reading.started = entry.started;
        reading.name.assign(entry.name, strnlen(entry.name, sizeof entry.name));
        reading.cpu = std::max(*cpu, 0.0);
        reading.memory = entry.memory_bytes;
        reading.diskReadRate = diskRate(before->second.read, entry.disk_read_bytes, elapsed, same);
        reading.diskWriteRate =
            diskRate(before->second.written, entry.disk_write_bytes, elapsed, same);
        readings.push_back(std::move(reading));
    }
    previous_ = std::move(current);
    previousTime_ = now;

    std::stable_sort(
        readings.begin(), readings.end(),
        [](const ProcessReading& a, const ProcessReading& b) { return a.cpu > b.cpu; });
    return readings;
}

}  // namespace pyrelle
