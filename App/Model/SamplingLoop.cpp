#include "Model/SamplingLoop.hpp"

namespace kilnview {

long runSamplingLoop(AppState& state, const SamplingHooks& hooks, double interval) {
    long rounds = 0;
    double next = hooks.clock();
    std::optional<double> lastProcesses;
    DeviceWatch device;
    while (!hooks.stopping()) {
        const pyrelle::Snapshot snapshot = hooks.sample();
        const double now = hooks.clock();
        if (device.observe(snapshot, now) && hooks.reconnect) hooks.reconnect();
        std::optional<std::vector<pyrelle::ProcessReading>> processes;
        if (hooks.processes && (!lastProcesses || now - *lastProcesses >= hooks.processInterval ||
                                now < *lastProcesses)) {
            processes = hooks.processes(now);
            lastProcesses = now;
        }
        const pyrelle::SystemTelemetry telemetry =
            hooks.telemetry ? hooks.telemetry() : pyrelle::SystemTelemetry{};
        state.record(snapshot, processes, now, telemetry, device.status());
        if (hooks.recorded) hooks.recorded();
        ++rounds;

        next += interval;
        const double after = hooks.clock();
        if (after > next + interval) next = after;
        if (const auto attempt = device.nextAttempt(); attempt && *attempt < next) next = *attempt;
        if (next > after && !hooks.stopping()) hooks.pause(next - after);
    }
    return rounds;
}

}  // namespace kilnview
