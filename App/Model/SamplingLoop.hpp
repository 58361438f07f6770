#pragma once
// SamplingLoop: Kilnview's one-a-second heartbeat. Takes a sample, records it with the
// process figures and telemetry, then lets the rest of the app react (publisher, helper
// polling, event streams). The clock, pause and stop test are parameters, so tests run many
// rounds in no time.

#include <functional>
#include <optional>
#include <vector>

#include "Model/AppState.hpp"
#include "Model/DeviceWatch.hpp"

namespace kilnview {

struct SamplingHooks {
    std::function<pyrelle::Snapshot()> sample;
    // Process readings for a monotonic second count; absent when there are none this round.
    std::function<std::optional<std::vector<pyrelle::ProcessReading>>(double)> processes;
    // Seconds between process samples (0: every round). Reading every process is the loop's
    // dearest part, and per-application figures need no more than a reading every few seconds.
    double processInterval = 0;
    std::function<pyrelle::SystemTelemetry()> telemetry;
    std::function<void()> recorded;     // after each recorded sample
    std::function<double()> clock;      // monotonic seconds
    std::function<void(double)> pause;  // waits (returns early when stopping)
    std::function<bool()> stopping;
    // Opens a new SMC connection; called with backoff while the device does not answer.
    std::function<void()> reconnect;
};

// Samples every `interval` seconds until `stopping()`. A round that overruns its slot starts
// the next at once, and a loop that fell more than one interval behind (a sleep, a stall)
// starts counting afresh instead of catching up with a burst. While the SMC does not answer,
// the loop reconnects with backoff (see DeviceWatch) and takes the next sample no later than
// the next reconnection, so readings return within seconds of the device answering whatever
// the interval. Returns the rounds run.
long runSamplingLoop(AppState& state, const SamplingHooks& hooks, double interval);

}  // namespace kilnview
