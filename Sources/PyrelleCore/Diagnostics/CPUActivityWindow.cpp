#include "pyrelle/CPUActivityWindow.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

namespace pyrelle {

namespace {

// Running integrals of one id over the frames of the window.
struct Integral {
    double cpuTime = 0;     // percent-of-one-CPU × seconds
    double diskAmount = 0;  // bytes
    double diskTime = 0;    // seconds with a known rate
};

bool validRate(const std::optional<double>& rate) {
    return rate && std::isfinite(*rate) && *rate >= 0;
}

}  // namespace

CPUActivityWindow::CPUActivityWindow(double seconds)
    // `!(seconds >= 1)` also catches NaN, which must not become the window length.
    : window_(!(seconds >= 1) ? 1.0 : seconds) {}

std::vector<ActivitySource> CPUActivityWindow::merge(const std::vector<ActivitySource>& sources) {
    std::vector<ActivitySource> merged;
    // Reserved up front so the ids the index points into never move.
    merged.reserve(sources.size());
    std::unordered_map<std::string_view, std::size_t> index;
    index.reserve(sources.size());

    for (const ActivitySource& source : sources) {
        if (!std::isfinite(source.cpu) || source.cpu < 0) continue;
        const auto found = index.find(source.id);
        if (found == index.end()) {
            merged.push_back(source);
            if (!validRate(merged.back().diskRate)) merged.back().diskRate.reset();
            index.emplace(merged.back().id, merged.size() - 1);
            continue;
        }
        ActivitySource& entry = merged[found->second];
        const double cpu = entry.cpu + source.cpu;
        if (!std::isfinite(cpu)) continue;  // the earlier entry stays as it was
        entry.cpu = cpu;
        // One unknown part makes the whole unknown; a sum too large to represent is no
        // rate either.
        if (validRate(source.diskRate) && entry.diskRate) {
            const double sum = *entry.diskRate + *source.diskRate;
            entry.diskRate = std::isfinite(sum) ? std::optional<double>(sum) : std::nullopt;
        } else {
            entry.diskRate.reset();
        }
        entry.name = source.name;
    }
    return merged;
}

void CPUActivityWindow::clearHistory() {
    frames_.clear();
    slotOf_.clear();
    slotUses_.clear();
    freeSlots_.clear();
    seconds_ = 0;
    rows_.clear();
}

uint32_t CPUActivityWindow::retain(const std::string& id) {
    const auto [found, inserted] = slotOf_.try_emplace(id, 0);
    if (inserted) {
        if (freeSlots_.empty()) {
            found->second = static_cast<uint32_t>(slotUses_.size());
            slotUses_.push_back(0);
        } else {
            found->second = freeSlots_.back();
            freeSlots_.pop_back();
        }
    }
    ++slotUses_[found->second];
    return found->second;
}

void CPUActivityWindow::release(const Frame& frame) {
    for (std::size_t i = 0; i < frame.sources.size(); ++i) {
        const uint32_t slot = frame.slots[i];
        if (--slotUses_[slot] == 0) {
            slotOf_.erase(frame.sources[i].id);
            freeSlots_.push_back(slot);
        }
    }
}

void CPUActivityWindow::record(const std::vector<ActivitySource>& sources, double time) {
    if (!std::isfinite(time)) return;

    std::vector<ActivitySource> merged = merge(sources);
    if (merged.empty()) {
        clearHistory();
        last_.reset();
        return;
    }
    if (!last_ || time <= *last_ || time - *last_ > maximumGap) {
        // Only the starting point of a new stretch: nothing is known about the interval
        // that ended here.
        clearHistory();
        last_ = time;
        return;
    }

    Frame frame{*last_, time, std::move(merged), {}};
    frame.slots.reserve(frame.sources.size());
    for (const ActivitySource& source : frame.sources) frame.slots.push_back(retain(source.id));
    frames_.push_back(std::move(frame));
    rebuild(time);
    last_ = time;
}

void CPUActivityWindow::rebuild(double time) {
    const double cutoff = time - window_;
    while (!frames_.empty() && frames_.front().end <= cutoff) {
        release(frames_.front());
        frames_.pop_front();
    }

    std::vector<Integral> integrals(slotUses_.size());
    double covered = 0;
    double totalCPU = 0;
    for (const Frame& frame : frames_) {
        const double d = frame.end - std::max(frame.start, cutoff);
        covered += d;
        for (std::size_t i = 0; i < frame.sources.size(); ++i) {
            const ActivitySource& source = frame.sources[i];
            Integral& integral = integrals[frame.slots[i]];
            const double cpuTime = d * source.cpu;
            integral.cpuTime += cpuTime;
            totalCPU += cpuTime;
            if (source.diskRate && std::isfinite(*source.diskRate)) {
                integral.diskAmount += d * *source.diskRate;
                integral.diskTime += d;
            }
        }
    }
    seconds_ = covered;

    const Frame& latest = frames_.back();
    std::vector<SustainedActivity> rows;
    rows.reserve(latest.sources.size());
    // An overflowing total gives no meaningful shares; report none rather than NaN.
    const bool sharesKnown = totalCPU > 0 && std::isfinite(totalCPU);
    for (std::size_t i = 0; i < latest.sources.size(); ++i) {
        const ActivitySource& source = latest.sources[i];
        const Integral& integral = integrals[latest.slots[i]];
        SustainedActivity row;
        row.id = source.id;
        row.name = source.name;
        row.averageCPU = covered > 0 ? integral.cpuTime / covered : 0;
        row.currentCPU = source.cpu;
        row.cpuShare = sharesKnown ? integral.cpuTime / totalCPU * 100 : 0;
        row.diskSeconds = integral.diskTime;
        if (integral.diskTime > 0) row.averageDiskRate = integral.diskAmount / integral.diskTime;
        row.currentDiskRate = source.diskRate;
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const SustainedActivity& a, const SustainedActivity& b) {
                         if (a.averageCPU != b.averageCPU) return a.averageCPU > b.averageCPU;
                         return a.id < b.id;
                     });
    rows_ = std::move(rows);
}

}  // namespace pyrelle
