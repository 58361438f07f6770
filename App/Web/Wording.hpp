#pragma once
// Wording: the application's plain-language texts for the core's identifiers and numbers
// (diagnostic states, findings and actions, control states), as Chinese source texts that
// AppText translates. The core supplies what was found; the words for it are the app's.

#include <optional>
#include <string>

#include "Model/AppView.hpp"
#include "Web/AppText.hpp"
#include "pyrelle/DiagnosticFinding.hpp"
#include "pyrelle/DiagnosticState.hpp"

namespace kilnview::Wording {

std::string state(pyrelle::DiagnosticState state, const AppText& text);
std::string severity(pyrelle::DiagnosticSeverity severity, const AppText& text);
// A finding's headline ("CPU 持续高温") and its detail with the figures
// ("82.0 °C · 已持续 45 秒").
std::string findingTitle(const pyrelle::DiagnosticFinding& finding, const AppText& text);
std::string findingDetail(const pyrelle::DiagnosticFinding& finding, const AppText& text);
std::string action(const pyrelle::DiagnosticFinding& finding, const AppText& text);

// "72.4 °C" / "—" for an absent value.
std::string celsius(std::optional<double> value);
std::string percent(std::optional<double> value);
std::string rpm(std::optional<double> value);
std::string bytes(double value);
std::string rate(std::optional<double> bytesPerSecond);
// A fan's control state: "手动" / "系统自动" / "—".
std::string fanMode(std::optional<bool> manual, const AppText& text);
// The running lease's remaining whole seconds ("1795 秒"), "—" when none runs.
std::string remaining(const ControlView& control, const AppText& text);
std::string powerSource(std::optional<bool> acPower, const AppText& text);
std::string memoryPressure(const AppView& view, const AppText& text);

}  // namespace kilnview::Wording
