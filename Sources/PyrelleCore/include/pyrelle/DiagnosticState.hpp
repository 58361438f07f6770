#pragma once

namespace pyrelle {

// The headline of a diagnostic report: `sampling` (not enough continuous data yet),
// `attention` (a warning or critical finding), `observing` (worth watching, nothing to do),
// `stable` (complete data, nothing to report), `partial` (enough time, but inputs missing).
enum class DiagnosticState { sampling, attention, observing, stable, partial };

}  // namespace pyrelle
