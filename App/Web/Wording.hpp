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
// The same with what the app knows beyond the finding: the "data unavailable" finding names
// the figures that cannot be read, and its action says what helps, or that nothing does.
std::string findingDetail(const pyrelle::DiagnosticFinding& finding, const AppView& view,
                          const AppText& text);
std::string action(const pyrelle::DiagnosticFinding& finding, const AppView& view,
                   const AppText& text);
std::string figure(DiagnosticFigure figure, const AppText& text);

// The local time of day of `date`, "14:02:11"; "—" for a date that is not finite.
std::string clock(pyrelle::Date date);
// "SMC 自 14:02:11 起没有响应；正在重试" while the SMC does not answer after having answered;
// empty otherwise.
std::string outage(const DeviceStatus& device, const AppText& text);
// "无法读取 SMC：温度与风扇数据不可用" when this machine has no SMC to read (and no outage
// explains it); empty otherwise.
std::string smcMissing(const AppView& view, const AppText& text);
// A helper's words in the reader's language: whole when the table knows them, else piece by
// piece (clauses joined by "；", a known head before "："), so that a device's own detail
// after "恢复自动风扇失败：" keeps its place in a translated sentence.
std::string helperWords(std::string_view words, const AppText& text);
// `pattern` (a translated text) with "{name}" replaced by `value`.
std::string filled(std::string pattern, std::string_view name, std::string_view value);

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
// The system's thermal state ("正常") and the snapshot's sentence about its limits; "—" and
// empty before the first sample.
std::string thermalState(const AppView& view, const AppText& text);
std::string assessment(const AppView& view, const AppText& text);

}  // namespace kilnview::Wording
