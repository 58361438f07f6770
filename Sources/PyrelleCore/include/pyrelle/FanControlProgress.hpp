#pragma once

#include <vector>

#include "pyrelle/FanTarget.hpp"

namespace pyrelle {

// What a curve lease reports after each cycle's writes.
struct FanControlProgress {
    double deadline = 0;             // the lease's end, in seconds of its clock
    std::vector<FanTarget> targets;  // last written targets, by fan id ascending
    bool protectionActive = false;   // the protection rule forced 100 % in this cycle

    friend bool operator==(const FanControlProgress&, const FanControlProgress&) = default;
};

}  // namespace pyrelle
