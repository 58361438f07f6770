#pragma once
// ControlTruth: the control state shown is the fans as read, not what the helper's presence
// suggests. A running lease of Kilnview's is shown by its label; otherwise a fan that reads
// manual makes the state "手动" with a warning that offers "Back to automatic", and fans that
// cannot be read make it unknown. "系统自动" is shown only when every fan reads automatic.
// Pure functions: the same rules decide Kilnview's exit status at a stop signal.

#include <optional>
#include <string>

#include "Control/FanActions.hpp"
#include "Model/AppView.hpp"
#include "pyrelle/Snapshot.hpp"

namespace kilnview::ControlTruth {

// The mode of fans that cannot be read.
inline constexpr const char* kUnknownMode = "风扇状态未知";
// The warning of a fan left manual with no lease of Kilnview's running.
inline constexpr const char* kLeftManual = "风扇仍处于手动模式，但没有正在运行的控制会话";

// `reported` (what the helper side knows) corrected by the fans of `latest` (absent before
// the first sample).
ControlView derive(ControlView reported, const pyrelle::Snapshot* latest);

// Why Kilnview must not exit 0 after ending its leases: `ended` is how the hand-back went,
// `fresh` the fans read afterwards, `droveFans` whether Kilnview drove them during this run
// (fans that cannot be read only count then). Absent when the fans read automatic.
std::optional<std::string> exitProblem(const ActionResult& ended, const pyrelle::Snapshot& fresh,
                                       bool droveFans);

}  // namespace kilnview::ControlTruth
