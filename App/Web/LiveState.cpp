#include "Web/LiveState.hpp"

#include "Control/FanActions.hpp"
#include "Web/CurveEditor.hpp"
#include "Web/Wording.hpp"

namespace kilnview {

using namespace pyrelle;

nlohmann::json liveState(const AppView& view, const AppText& text) {
    nlohmann::json live = nlohmann::json::object();
    const Snapshot* snapshot = view.latest ? &*view.latest : nullptr;
    live["cpuTemperature"] = Wording::celsius(snapshot ? snapshot->cpuTemperature() : std::nullopt);
    live["gpuTemperature"] =
        Wording::celsius(snapshot ? snapshot->temperature(SensorCategory::gpu) : std::nullopt);
    live["cpuUsage"] = Wording::percent(snapshot ? snapshot->cpuUsage : std::nullopt);
    live["headline"] = Wording::state(view.report.state, text);
    live["leaseRemaining"] = Wording::remaining(view.control, text);
    live["controlMode"] = text(view.control.mode);
    // The fans as read against the helper side, and the helper's last words with their advice.
    live["controlAlert"] = view.control.alert ? text(*view.control.alert) : std::string();
    live["controlFailure"] =
        view.control.failure ? Wording::helperWords(*view.control.failure, text) : std::string();
    live["controlAdvice"] = view.control.failure
                                ? text(*ActionResult::failure(*view.control.failure).advice)
                                : std::string();
    live["memoryPressure"] = Wording::memoryPressure(view, text);
    live["powerSource"] = Wording::powerSource(snapshot ? snapshot->acPower : std::nullopt, text);
    live["thermalState"] = Wording::thermalState(view, text);
    live["assessment"] = Wording::assessment(view, text);
    live["deviceOutage"] = Wording::outage(view.device, text);
    live["smcMissing"] = Wording::smcMissing(view, text);
    // Fans 0 and 1 always have keys, so a page's fixed elements are never left stale.
    for (int id = 0; id < 2; ++id) {
        live["fan-" + std::to_string(id) + "-rpm"] = "—";
        live["fan-" + std::to_string(id) + "-mode"] = "—";
        live["fan-" + std::to_string(id) + "-target"] = "—";
    }
    if (snapshot) {
        for (const FanReading& fan : snapshot->fans) {
            const std::string prefix = "fan-" + std::to_string(fan.id) + "-";
            live[prefix + "rpm"] = Wording::rpm(fan.rpm);
            live[prefix + "mode"] = Wording::fanMode(fan.manual, text);
            const auto target = view.control.targets.find(fan.id);
            if (target != view.control.targets.end())
                live[prefix + "target"] = Wording::rpm(target->second);
        }
    }

    nlohmann::json findings = nlohmann::json::array();
    for (const DiagnosticFinding& finding : view.report.findings) {
        findings.push_back({{"id", finding.id},
                            {"severity", value(finding.severity)},
                            {"severityText", Wording::severity(finding.severity, text)},
                            {"title", Wording::findingTitle(finding, text)},
                            {"detail", Wording::findingDetail(finding, view, text)},
                            {"action", Wording::action(finding, view, text)}});
    }
    nlohmann::json state = {{"live", live},
                            {"findings", findings},
                            {"samples", view.samples},
                            {"state", static_cast<int>(view.report.state)},
                            {"leaseRunning", view.control.remainingSeconds.has_value()}};
    state["curve"] = CurveEditor::live(view);
    state["cooling"] = view.control.cooling;
    state["leaseSeconds"] = view.control.remainingSeconds
                                ? nlohmann::json(*view.control.remainingSeconds)
                                : nlohmann::json(nullptr);
    if (snapshot) state["date"] = snapshot->date.iso8601();
    state["deviceUp"] = view.device.answering;
    if (view.device.lastAnswer) state["deviceLastAnswer"] = view.device.lastAnswer->iso8601();
    if (view.control.failure) state["failure"] = Wording::helperWords(*view.control.failure, text);
    return state;
}

}  // namespace kilnview
