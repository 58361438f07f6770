#pragma once

#include <string_view>

namespace pyrelle {

// The verdict of comparing the samples before a power-plan change with those after it.
enum class OptimizationAssessment {
    insufficient,
    powerChanged,
    loadChanged,
    lowerTemperature,
    higherTemperature,
    noClearChange,
};

std::string_view toText(OptimizationAssessment assessment);

}  // namespace pyrelle
