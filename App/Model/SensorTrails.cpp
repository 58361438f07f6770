#include "Model/SensorTrails.hpp"

#include <cmath>

#include "pyrelle/HardwareSensorKind.hpp"

namespace kilnview {

using namespace pyrelle;

namespace {

// A one-second sampler's fifth sample may land a little short of five seconds.
constexpr double kJitter = 0.5;

std::string idOf(HardwareSensorKind kind, const std::string& key) {
    return std::string(toText(kind)) + ":" + key;
}

}  // namespace

void SensorTrails::record(const Snapshot& snapshot) {
    const Date at = snapshot.date;
    if (!at.isFinite()) return;
    if (last_ && at.secondsSince(*last_) < spacing - kJitter) return;
    const bool broke = last_ && at.secondsSince(*last_) > maximumGap;
    last_ = at;

    for (auto& entry : trails_) entry.second.inSample = false;
    // A key reported twice keeps its first reading, as the sensors page shows it.
    const auto add = [&](std::string id, std::optional<double> value) {
        Trail& trail = trails_[std::move(id)];
        if (trail.inSample) return;
        trail.inSample = true;
        append(trail, value, at, broke);
    };
    for (const SensorReading& sensor : snapshot.sensors)
        add(idOf(HardwareSensorKind::temperature, sensor.key), sensor.celsius);
    if (snapshot.additionalSensors)
        for (const HardwareSensorReading& reading : *snapshot.additionalSensors)
            add(reading.id(), reading.value);
    for (const FanReading& fan : snapshot.fans)
        add(idOf(HardwareSensorKind::fan, "F" + std::to_string(fan.id) + "Ac"), fan.rpm);

    for (auto it = trails_.begin(); it != trails_.end();) {
        Trail& trail = it->second;
        if (!trail.inSample) append(trail, std::nullopt, at, broke);
        const bool forgotten = !trail.lastValue || at.secondsSince(*trail.lastValue) > span;
        it = forgotten ? trails_.erase(it) : std::next(it);
    }
}

void SensorTrails::append(Trail& trail, std::optional<double> value, Date at, bool broke) {
    if (value && !std::isfinite(*value)) value.reset();
    if (!trail.points.empty() && (broke || !value || !trail.points.back().value)) ++trail.segment;
    trail.points.push_back(MetricPoint{at, value, trail.segment});
    if (value) trail.lastValue = at;
    while (at.secondsSince(trail.points.front().date) > span) trail.points.pop_front();
}

std::map<std::string, std::vector<MetricPoint>> SensorTrails::points() const {
    std::map<std::string, std::vector<MetricPoint>> all;
    for (const auto& [id, trail] : trails_)
        all.emplace(id, std::vector<MetricPoint>(trail.points.begin(), trail.points.end()));
    return all;
}

}  // namespace kilnview
