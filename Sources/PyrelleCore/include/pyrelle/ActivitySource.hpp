#pragma once

#include <optional>
#include <string>

namespace pyrelle {

// One application's figures in one sample, as the desktop application groups the process
// sampler's readings: CPU in percent of one CPU (100 = one CPU fully busy) and disk
// throughput (read plus write) in bytes per second.
struct ActivitySource {
    std::string id;
    std::string name;
    double cpu = 0;
    std::optional<double> diskRate;  // absent when unknown

    bool operator==(const ActivitySource&) const = default;
};

}  // namespace pyrelle
