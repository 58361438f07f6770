#pragma once

#include <optional>
#include <string>

#include "pyrelle/SustainedActivity.hpp"

namespace pyrelle {

// One application or process group as the diagnostic engine sees it: the figures of one
// activity-window row. CPU in percent of one CPU, disk rates in bytes per second.
struct DiagnosticSource {
    std::string id;  // stable identity; also used in finding ids and actions
    std::string name;
    double averageCPU = 0;
    double currentCPU = 0;
    std::optional<double> averageDiskRate;
    std::optional<double> currentDiskRate;
    double diskSeconds = 0;  // seconds over which disk throughput has been observed

    // The engine's view of an activity-window row (its share is not part of it).
    static DiagnosticSource from(const SustainedActivity& row) {
        return DiagnosticSource{row.id,
                                row.name,
                                row.averageCPU,
                                row.currentCPU,
                                row.averageDiskRate,
                                row.currentDiskRate,
                                row.diskSeconds};
    }

    bool operator==(const DiagnosticSource&) const = default;
};

}  // namespace pyrelle
