#pragma once
// MissingFigures: which of the figures the diagnostics need an evaluation lacked, and which of
// those this platform never provides. Kilnview on this system does not list sleep blockers,
// so "unknown blockers" says nothing about the machine and must not keep the headline at
// "data incomplete" for good; every other figure counts as missing whenever it is absent.

#include <vector>

#include "Model/AppView.hpp"
#include "pyrelle/DiagnosticInput.hpp"
#include "pyrelle/DiagnosticReport.hpp"

namespace kilnview::MissingFigures {

// The figures `input` lacks, in the order of DiagnosticFigure, as the engine judges them
// (cleaned temperatures and CPU use, fresh process figures).
std::vector<DiagnosticFigure> of(const pyrelle::DiagnosticInput& input,
                                 const pyrelle::DiagnosticMetrics& metrics);

// Whether this platform can provide `figure` at all.
bool providedByPlatform(DiagnosticFigure figure);

// `missing` without the figures this platform never provides.
std::vector<DiagnosticFigure> providable(const std::vector<DiagnosticFigure>& missing);

// A report whose data lacked only figures the platform never provides, decided as the engine
// decides for complete data: no "data unavailable" finding, and "partial" becomes "observing"
// (warm, or disk activity found) or "stable". Other reports are returned unchanged.
pyrelle::DiagnosticReport discountPlatformGaps(pyrelle::DiagnosticReport report,
                                               const std::vector<DiagnosticFigure>& missing);

}  // namespace kilnview::MissingFigures
