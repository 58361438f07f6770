#include "pyrelle/CPULoadBands.hpp"

#include <algorithm>
#include <cmath>

#include "pyrelle/MetricPlot.hpp"

namespace pyrelle::CPULoadBands {

namespace {

constexpr double continuityGap = 15.0;

bool usable(std::optional<double> value) {
    return value && std::isfinite(*value) && *value >= 0 && *value <= 100;
}

bool continuous(const MetricPoint* previous, const MetricPoint& point) {
    return previous != nullptr && previous->segment == point.segment &&
           point.date > previous->date && point.date.secondsSince(previous->date) <= continuityGap;
}

// Walks points in order, carrying the previous usable point and the start of the current
// stretch at or above the critical threshold.
class Classifier {
public:
    CPULoadLevel next(const MetricPoint& point) {
        if (!usable(point.value) || !point.date.isFinite()) {
            previous_ = nullptr;
            highStart_.reset();
            return CPULoadLevel::unknown;
        }
        const double value = *point.value;
        const CPULoadLevel base =
            value >= elevatedThreshold ? CPULoadLevel::elevated : CPULoadLevel::normal;
        if (!continuous(previous_, point)) highStart_.reset();

        CPULoadLevel level = base;
        if (value >= criticalThreshold) {
            if (!highStart_) highStart_ = point.date;
            level = point.date.secondsSince(*highStart_) >= sustainedSeconds
                        ? CPULoadLevel::critical
                        : CPULoadLevel::elevated;
        } else {
            highStart_.reset();
        }
        previous_ = &point;
        return level;
    }

private:
    const MetricPoint* previous_ = nullptr;
    std::optional<Date> highStart_;
};

}  // namespace

CPULoadLevel baseLevel(std::optional<double> value) {
    if (!usable(value)) return CPULoadLevel::unknown;
    return *value >= elevatedThreshold ? CPULoadLevel::elevated : CPULoadLevel::normal;
}

std::vector<CPULoadSample> samples(std::span<const MetricPoint> points) {
    std::vector<CPULoadSample> result;
    result.reserve(points.size());
    Classifier classifier;
    for (const MetricPoint& point : points) result.push_back({point, classifier.next(point)});
    return result;
}

CPULoadLevel current(std::optional<double> value, std::span<const MetricPoint> points, Date at) {
    if (!usable(value)) return CPULoadLevel::unknown;
    if (!points.empty()) {
        // Only the last point's band matters; classify without building the sample list.
        Classifier classifier;
        CPULoadLevel last = CPULoadLevel::unknown;
        for (const MetricPoint& point : points) last = classifier.next(point);
        const MetricPoint& point = points.back();
        const double age = at.secondsSince(point.date);
        if (point.value && *point.value == *value && age >= 0 && age <= continuityGap) return last;
    }
    return baseLevel(value);
}

std::vector<CPULoadRun> runs(std::span<const MetricPoint> points, int budget) {
    const std::vector<CPULoadSample> classified = samples(points);
    return runs(std::span<const CPULoadSample>(classified), budget);
}

std::vector<CPULoadRun> runs(std::span<const CPULoadSample> samples, int budget) {
    std::vector<CPULoadRun> result;
    const MetricPoint* previous = nullptr;
    for (const CPULoadSample& sample : samples) {
        if (sample.level == CPULoadLevel::unknown) {
            previous = nullptr;
            continue;
        }
        if (!continuous(previous, sample.point)) {
            result.push_back({static_cast<int>(result.size()), sample.level, {sample.point}});
        } else if (result.back().level == sample.level) {
            result.back().points.push_back(sample.point);
        } else {
            result.back().points.push_back(sample.point);
            result.push_back({static_cast<int>(result.size()), sample.level, {sample.point}});
        }
        previous = &sample.point;
    }

    const int runCount = result.empty() ? 1 : static_cast<int>(result.size());
    int perRun = budget / runCount;
    if (perRun < 5) perRun = 4;
    for (CPULoadRun& run : result) {
        const bool allValued =
            std::all_of(run.points.begin(), run.points.end(),
                        [](const MetricPoint& p) { return p.value.has_value(); });
        // Decimation of a valued run that already fits is the identity; skip the copy.
        if (!allValued || run.points.size() > static_cast<std::size_t>(perRun))
            run.points = MetricPlot::decimated(run.points, perRun);
    }
    return result;
}

}  // namespace pyrelle::CPULoadBands
