#pragma once

#include <span>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/ModeRecord.hpp"
#include "pyrelle/SensorCategory.hpp"
#include "pyrelle/TimelineSample.hpp"

namespace pyrelle {

// Turns recorded samples into mode-labelled temperature rows of one sensor category, and thins
// such rows to a drawing budget.
namespace SensorTimeline {

// One row per sample from `start` on with a finite temperature of `sensor`, labelled with the
// mode and the turbo state. A stretch breaks when the label changes or the samples stop being
// continuous (not later, or more than 15 s apart); a sample without a usable temperature or
// date breaks it too.
std::vector<ModeRecord> records(std::span<const TimelineSample> samples, SensorCategory sensor,
                                Date start);

// The peak-keeping reduction of MetricPlot::decimated applied to rows by temperature and
// segment. A budget below 4, or rows that already fit, come back unchanged.
std::vector<ModeRecord> decimated(std::span<const ModeRecord> records, int budget);

}  // namespace SensorTimeline

}  // namespace pyrelle
