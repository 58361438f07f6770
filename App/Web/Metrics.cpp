#include "Web/Metrics.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

namespace kilnview {

using namespace pyrelle;

namespace {

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

// One metric family: its header once, then its samples.
class Family {
public:
    Family(std::string& out, const char* name, const char* help) : out_(out), name_(name) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += " gauge\n";
    }
    void sample(const std::vector<std::pair<std::string, std::string>>& labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i) out_ += ',';
                out_ += labels[i].first + "=\"" + escapeLabel(labels[i].second) + '"';
            }
            out_ += '}';
        }
        out_ += ' ' + number(value) + '\n';
    }

private:
    std::string& out_;
    const char* name_;
};

}  // namespace

std::string escapeLabel(std::string_view value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::string metricsText(const AppView& view) {
    std::string out;
    const Snapshot* snapshot = view.latest ? &*view.latest : nullptr;

    Family up(out, "pyrelle_smc_available",
              "Whether the SMC (real or virtual) could be read (1) or not (0).");
    // A silent device cannot be read, whatever the connection to it says.
    up.sample({}, snapshot && snapshot->smcAvailable && !view.device.outage() ? 1 : 0);

    // Readings below are left out while the device does not answer; these two say why.
    Family device(out, "pyrelle_device_up",
                  "Whether the SMC answered the latest sample (1) or not (0).");
    device.sample({}, view.device.answering ? 1 : 0);
    if (view.device.lastAnswer && view.device.lastAnswer->isFinite()) {
        Family answered(out, "pyrelle_device_last_answer_timestamp_seconds",
                        "Unix time of the latest sample the SMC answered.");
        answered.sample({}, view.device.lastAnswer->unixTime());
    }

    Family temperature(out, "pyrelle_temperature_celsius",
                       "Temperature of one SMC sensor in degrees Celsius.");
    if (snapshot) {
        for (const SensorReading& reading : snapshot->sensors) {
            if (!std::isfinite(reading.celsius)) continue;
            temperature.sample({{"sensor", reading.key},
                                {"label", reading.label},
                                {"category", std::string(toText(reading.category()))}},
                               reading.celsius);
        }
    }

    Family rpm(out, "pyrelle_fan_rpm", "Current fan speed in revolutions per minute.");
    Family target(out, "pyrelle_fan_target_rpm",
                  "Fan target speed last written by a fan lease, in revolutions per minute.");
    Family manual(out, "pyrelle_fan_manual",
                  "Whether the fan is under manual control (1) or system-automatic (0).");
    Family maximum(out, "pyrelle_fan_max_rpm",
                   "Maximum rated fan speed in revolutions per minute.");
    if (snapshot) {
        for (const FanReading& fan : snapshot->fans) {
            const std::vector<std::pair<std::string, std::string>> labels = {
                {"fan", std::to_string(fan.id)}};
            if (fan.rpm && std::isfinite(*fan.rpm)) rpm.sample(labels, *fan.rpm);
            const auto written = view.control.targets.find(fan.id);
            if (written != view.control.targets.end()) target.sample(labels, written->second);
            if (fan.manual) manual.sample(labels, *fan.manual ? 1 : 0);
            if (fan.maximum && std::isfinite(*fan.maximum)) maximum.sample(labels, *fan.maximum);
        }
    }

    Family usage(out, "pyrelle_cpu_usage_ratio",
                 "CPU busy ratio since the previous sample, 0 to 1.");
    if (snapshot && snapshot->cpuUsage && std::isfinite(*snapshot->cpuUsage))
        usage.sample({}, *snapshot->cpuUsage / 100.0);

    Family thermal(out, "pyrelle_thermal_state",
                   "System thermal state: 0 nominal, 1 fair, 2 serious, 3 critical.");
    if (snapshot) thermal.sample({}, snapshot->thermalState);

    Family state(out, "pyrelle_diagnostic_state",
                 "Diagnostic headline state: 1 for the current state, 0 for the others.");
    static constexpr std::pair<DiagnosticState, const char*> states[] = {
        {DiagnosticState::sampling, "sampling"},
        {DiagnosticState::attention, "attention"},
        {DiagnosticState::observing, "observing"},
        {DiagnosticState::stable, "stable"},
        {DiagnosticState::partial, "partial"}};
    for (const auto& [each, name] : states)
        state.sample({{"state", name}}, view.report.state == each ? 1 : 0);

    Family attention(out, "pyrelle_diagnostic_attention_findings",
                     "Findings of severity warning or critical.");
    attention.sample({}, view.report.attentionCount);

    Family lease(out, "pyrelle_lease_remaining_seconds",
                 "Seconds left in the running fan lease; 0 when none runs.");
    lease.sample({}, view.control.remainingSeconds.value_or(0));

    Family protection(out, "pyrelle_lease_protection_active",
                      "Whether over-temperature protection is forcing full fan speed.");
    protection.sample({}, view.control.protectionActive ? 1 : 0);

    Family samples(out, "pyrelle_samples", "Samples taken since Kilnview started.");
    samples.sample({}, static_cast<double>(view.samples));
    return out;
}

}  // namespace kilnview
