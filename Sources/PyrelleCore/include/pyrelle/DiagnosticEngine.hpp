#pragma once

#include <optional>

#include "pyrelle/Date.hpp"
#include "pyrelle/DiagnosticFinding.hpp"
#include "pyrelle/DiagnosticInput.hpp"
#include "pyrelle/DiagnosticReport.hpp"
#include "pyrelle/SensorCategory.hpp"

namespace pyrelle {

// Explains one snapshot at a time as a report of sorted findings and a headline state. The
// engine remembers only enough between calls to tell a continuous stream of samples from a
// gap and to time how long a CPU or GPU has stayed hot. It never claims more than the data
// shows: missing inputs make the report partial, one application's CPU use is only a possible
// cause, and a performance limit without heat is reported as a limit, not as overheating.
// A plain value: the caller owns it and evaluates from one thread at a time.
class DiagnosticEngine {
public:
    // Samples further apart than this start a new stretch of observation.
    static constexpr double maximumGap = 15;
    // Continuous observation is counted up to this many seconds.
    static constexpr double observationCap = 60;

    DiagnosticEngine() = default;

    // Evaluates one input and advances the engine's memory. Never fails.
    DiagnosticReport evaluate(const DiagnosticInput& input);

    // Snapshot date of the previous evaluation.
    std::optional<Date> last() const { return last_; }
    // Seconds of continuous observation, 0...60.
    double observed() const { return observed_; }
    // Seconds the current hot source has stayed hot (not capped).
    double hotSeconds() const { return hotSeconds_; }
    // `cpu` or `gpu` while one of them is hot.
    std::optional<SensorCategory> hotSource() const { return hotSource_; }

    // The display order of findings: higher severity first, then lower kind priority, then
    // id; a stable sort, so fully equal findings keep their order.
    static void sort(std::vector<DiagnosticFinding>& findings);

private:
    std::optional<Date> last_;
    double observed_ = 0;
    double hotSeconds_ = 0;
    std::optional<SensorCategory> hotSource_;
};

}  // namespace pyrelle
