#pragma once

#include <functional>
#include <optional>

namespace pyrelle::SMCVerification {

// Shared rules for confirming an SMC write by reading it back and for deciding a fan's manual
// state from its raw keys.

// The most read-back polls one confirmation makes, whatever the timeout.
inline constexpr int maximumPolls = 45;

// Polls `read` until two consecutive reads are finite and differ from `target` by less than
// 1.0 (then true), or until `timeout` seconds of `now` have passed or 45 polls were made
// (then false). `wait` pauses between polls.
bool waitFor(double target, double timeout, const std::function<double()>& now,
             const std::function<std::optional<double>()>& read, const std::function<void()>& wait);

// Manual state of fan `id` from its mode key value (`local`), else from the forced-mode mask
// (`flags`, bit `id`). An automatic reading while the unlock flag (`handoff`) is set is
// ambiguous and gives no value.
std::optional<bool> manualState(std::optional<double> local, std::optional<double> flags, int id,
                                std::optional<double> handoff);

}  // namespace pyrelle::SMCVerification
