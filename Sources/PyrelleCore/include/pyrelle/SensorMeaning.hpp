#pragma once

#include <string>

#include "pyrelle/SensorComponent.hpp"

namespace pyrelle {

// What one sensor key measures, in plain Chinese: its component, a title and an explanation.
struct SensorMeaning {
    SensorComponent component = SensorComponent::unknown;
    std::string title;
    std::string explanation;

    friend bool operator==(const SensorMeaning&, const SensorMeaning&) = default;
};

}  // namespace pyrelle
