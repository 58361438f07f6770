#pragma once

namespace pyrelle {

// How sure the engine is of a finding: `confirmed` by the system's own signals, only a
// `possible` cause (such as one application's CPU use), or `unavailable` for lack of data.
enum class DiagnosticConfidence { confirmed, possible, unavailable };

}  // namespace pyrelle
