#include "pyrelle/CommonSensorHistory.hpp"

#include <algorithm>

#include "pyrelle/SensorCatalog.hpp"
#include "pyrelle/SensorInventory.hpp"

namespace pyrelle {

std::optional<std::size_t> CommonSensorHistory::indexOf(std::string_view id) const {
    // A handful of common sensors: a scan beats hashing here.
    for (std::size_t i = 0; i < latest_.size(); ++i)
        if (latest_[i].id == id) return i;
    return std::nullopt;
}

void CommonSensorHistory::record(const Snapshot& snapshot, SensorNamingPlatform platform) {
    const Date d = snapshot.date;
    if (!d.isFinite()) return;
    if (end_ && !(d > *end_)) return;

    const std::vector<HardwareSensorReading> hardware = SensorInventory::readings(snapshot);
    std::vector<CommonSensorReading> current = SensorCatalog::common(hardware, platform);

    std::vector<bool> present(latest_.size(), false);
    for (CommonSensorReading& reading : current) {
        if (const auto index = indexOf(reading.id)) {
            latest_[*index] = std::move(reading);
            lastSeen_[*index] = d;
            present[*index] = true;
        } else {
            const bool signedKind = reading.kind == HardwareSensorKind::power ||
                                    reading.kind == HardwareSensorKind::current;
            histories_.emplace_back(maximumGap, signedKind);
            latest_.push_back(std::move(reading));
            lastSeen_.push_back(d);
            present.push_back(true);
        }
    }

    for (std::size_t i = 0; i < latest_.size(); ++i) {
        if (!present[i]) latest_[i].value.reset();
        histories_[i].append(latest_[i].value, d);
    }

    // Forget sensors unseen for more than 30 minutes, keeping the order of the rest.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < latest_.size(); ++i) {
        if (d.secondsSince(lastSeen_[i]) > forgetSeconds) continue;
        if (kept != i) {
            latest_[kept] = std::move(latest_[i]);
            histories_[kept] = std::move(histories_[i]);
            lastSeen_[kept] = lastSeen_[i];
        }
        ++kept;
    }
    latest_.erase(latest_.begin() + static_cast<std::ptrdiff_t>(kept), latest_.end());
    histories_.erase(histories_.begin() + static_cast<std::ptrdiff_t>(kept), histories_.end());
    lastSeen_.erase(lastSeen_.begin() + static_cast<std::ptrdiff_t>(kept), lastSeen_.end());

    end_ = d;
}

std::span<const MetricPoint> CommonSensorHistory::points(std::string_view id, int minutes) const {
    if (!end_) return {};
    const auto index = indexOf(id);
    if (!index) return {};
    return histories_[*index].window(*end_, std::clamp(minutes, 1, 30) * 60.0);
}

std::vector<std::string> CommonSensorHistory::order() const {
    std::vector<std::string> ids;
    ids.reserve(latest_.size());
    for (const auto& reading : latest_) ids.push_back(reading.id);
    return ids;
}

}  // namespace pyrelle
