#include "pyrelle/SensorTimeline.hpp"

#include <cmath>
#include <string_view>

#include "Decimation.hpp"

namespace pyrelle::SensorTimeline {

namespace {

constexpr double continuityGap = 15;
constexpr std::string_view unconfirmedMode = "未确认模式";
constexpr std::string_view separator = " · ";

// The turbo part of a row's label; none for machines without turbo control.
std::optional<std::string_view> turboText(TurboState turbo) {
    switch (turbo) {
        case TurboState::disabledDriverLoaded: return "睿频关闭";
        case TurboState::driverNotLoaded: return "允许睿频";
        case TurboState::unknown: return "睿频未知";
        case TurboState::unsupported: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<bool> turboDisabled(TurboState turbo) {
    switch (turbo) {
        case TurboState::disabledDriverLoaded: return true;
        case TurboState::driverNotLoaded: return false;
        default: return std::nullopt;
    }
}

}  // namespace

std::vector<ModeRecord> records(std::span<const TimelineSample> samples, SensorCategory sensor,
                                Date start) {
    std::vector<ModeRecord> result;
    result.reserve(samples.size());
    std::int64_t segment = 0;
    bool havePrevious = false;  // the previous label is the last row's mode
    Date previousDate;
    Date segmentStart;
    std::string label;

    for (const TimelineSample& sample : samples) {
        const Snapshot& snapshot = sample.snapshot;
        if (snapshot.date < start) continue;
        const auto temperature = snapshot.temperature(sensor);
        // A non-finite date cannot be placed in time; it breaks continuity like a missing value.
        if (!temperature || !std::isfinite(*temperature) || !snapshot.date.isFinite()) {
            havePrevious = false;
            continue;
        }

        label.assign(sample.mode ? std::string_view(*sample.mode) : unconfirmedMode);
        if (const auto turbo = turboText(snapshot.turbo)) {
            label += separator;
            label += *turbo;
        }

        const bool continues = havePrevious && label == result.back().mode &&
                               snapshot.date > previousDate &&
                               snapshot.date.secondsSince(previousDate) <= continuityGap;
        if (!continues) {
            ++segment;
            segmentStart = snapshot.date;
        }
        result.push_back(ModeRecord{snapshot.date, label, *temperature, snapshot.cpuUsage, segment,
                                    snapshot.date.secondsSince(segmentStart),
                                    turboDisabled(snapshot.turbo)});
        havePrevious = true;
        previousDate = snapshot.date;
    }
    return result;
}

std::vector<ModeRecord> decimated(std::span<const ModeRecord> records, int budget) {
    if (budget < 4 || records.size() <= static_cast<std::size_t>(budget))
        return {records.begin(), records.end()};
    std::vector<ModeRecord> result;
    detail::decimateInto(
        records, budget, [](const ModeRecord& r) { return r.temperature; },
        [](const ModeRecord& r) { return r.segment; }, result);
    return result;
}

}  // namespace pyrelle::SensorTimeline
