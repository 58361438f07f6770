#pragma once

#include <optional>
#include <string>

namespace pyrelle {

// One row of the activity window's table: how busy one application has kept the machine
// over the covered window and how busy it is in the latest sample. Identified by `id`.
struct SustainedActivity {
    std::string id;
    std::string name;                       // as in the latest sample
    double averageCPU = 0;                  // time-weighted mean over the window, % of one CPU
    double currentCPU = 0;                  // latest sample, % of one CPU
    double cpuShare = 0;                    // share of all CPU time in the window, 0...100
    std::optional<double> averageDiskRate;  // B/s over the time the rate was known
    std::optional<double> currentDiskRate;  // B/s in the latest sample
    double diskSeconds = 0;                 // seconds of the window with a known rate

    bool operator==(const SustainedActivity&) const = default;
};

}  // namespace pyrelle
