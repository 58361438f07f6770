#pragma once

#include <optional>
#include <string>

#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// One recorded sample of the sensor timeline: the reading and the display name of the mode
// that was active (absent when it was not recorded).
struct TimelineSample {
    Snapshot snapshot;
    std::optional<std::string> mode;

    friend bool operator==(const TimelineSample&, const TimelineSample&) = default;
};

}  // namespace pyrelle
