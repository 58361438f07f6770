#pragma once
// CurveEditor: the fans page's curve editor (a graph of the curve over the temperature axis,
// each fan's rpm range beside it, labelled inputs per point), the check behind its live
// validation, and the live figures its operating-point marker follows. The rules are the
// core's: the check answers with FanCurve's and ControlRequest's own messages, tied to the
// point at fault.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Model/AppView.hpp"
#include "Web/AppText.hpp"
#include "pyrelle/ControlRequest.hpp"

namespace kilnview::CurveEditor {

// The curve this Kilnview last started, so the editor can show it while its lease runs.
class RunningCurve {
public:
    void started(const pyrelle::ControlRequest& request);
    // Another action replaced or ended the curve.
    void forget();
    // The curve while a lease runs; forgets it once no lease runs.
    std::optional<pyrelle::ControlRequest> current(const ControlView& control);

private:
    std::mutex lock_;
    std::optional<pyrelle::ControlRequest> request_;  // guarded by lock_
};

// The editor section: `running` is the curve shown as running, if any.
std::string section(const AppText& text, const AppView& view,
                    const std::optional<pyrelle::ControlRequest>& running);

// The answer to a check of a POST /api/fans/curve body, without starting anything:
// {"ok":true} or {"ok":false,"message":…,"point":index|null,"field":"curve"|"duration"|…}.
nlohmann::json check(std::string_view body, const AppText& text);

// The live figures of the editor: each curve sensor's temperature (by its text value) and each
// fan's position within its rated range, in percent.
nlohmann::json live(const AppView& view);

}  // namespace kilnview::CurveEditor
