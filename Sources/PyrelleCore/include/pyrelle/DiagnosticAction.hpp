#pragma once

#include <string>
#include <utility>

namespace pyrelle {

// What the user interface offers next to a finding. Only `reviewApplication` carries a
// value: the id of the source to review. Two actions are equal when their cases are equal
// and, for `reviewApplication`, their source ids are equal.
class DiagnosticAction {
public:
    enum class Case {
        reviewApplication,
        memoryProcesses,
        diskProcesses,
        temperatureTimeline,
        wakeRequests,
        lowPowerPlan,
        refresh,
    };

    static DiagnosticAction reviewApplication(std::string sourceID) {
        return DiagnosticAction(Case::reviewApplication, std::move(sourceID));
    }
    static DiagnosticAction memoryProcesses() { return DiagnosticAction(Case::memoryProcesses); }
    static DiagnosticAction diskProcesses() { return DiagnosticAction(Case::diskProcesses); }
    static DiagnosticAction temperatureTimeline() {
        return DiagnosticAction(Case::temperatureTimeline);
    }
    static DiagnosticAction wakeRequests() { return DiagnosticAction(Case::wakeRequests); }
    static DiagnosticAction lowPowerPlan() { return DiagnosticAction(Case::lowPowerPlan); }
    static DiagnosticAction refresh() { return DiagnosticAction(Case::refresh); }

    Case kind() const { return case_; }
    // The source to review; empty for every other case.
    const std::string& sourceID() const { return sourceID_; }

    // The plain cases never carry an id, so comparing both fields is the rule above.
    friend bool operator==(const DiagnosticAction&, const DiagnosticAction&) = default;

private:
    explicit DiagnosticAction(Case kind, std::string sourceID = {})
        : case_(kind), sourceID_(std::move(sourceID)) {}

    Case case_;
    std::string sourceID_;
};

}  // namespace pyrelle
