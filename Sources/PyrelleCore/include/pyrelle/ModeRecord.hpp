#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pyrelle/Date.hpp"

namespace pyrelle {

// One row of a mode timeline: the temperature and load seen under one mode label, placed in
// its unbroken stretch (`segment`) at `elapsed` seconds from the stretch's start.
struct ModeRecord {
    Date date;
    std::string mode;
    double temperature = 0;
    std::optional<double> load;
    std::int64_t segment = 0;
    double elapsed = 0;
    std::optional<bool> turboDisabled;

    Date id() const { return date; }
    // One chart series per stretch: mode + "-" + segment.
    std::string series() const;

    friend bool operator==(const ModeRecord&, const ModeRecord&) = default;
};

}  // namespace pyrelle
