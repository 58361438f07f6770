#pragma once

#include <functional>

namespace pyrelle {

// How a hand-back to system-automatic control is tried again when the device stumbles (a
// dropped connection, a few kernel errors, a controller silent for a moment). Each pass
// switches the fans still pending back; a later pass starts only while `window` seconds have
// not passed since the first failed one, after `pause` and a reconnection. The default is one
// pass and nothing else, the plain restore of a lease driving an in-memory fake.
struct HandBackRetry {
    int passes = 1;               // passes in all
    double window = 0;            // seconds after the first failed pass in which another may start
    double pause = 0;             // seconds between passes
    std::function<double()> now;  // monotonic seconds; without it there is no retry
    std::function<void(double)> sleep;  // the pause
    std::function<void()> reconnect;    // before every later pass: reopen the device connection
    // After a failed pass: clears a fan-control unlock flag left set by a session that is gone
    // (the hand-back of "Ftst"); true when it wrote, so the failed fans are tried again at once.
    // Throws ScopeError when the flag cannot be cleared.
    std::function<bool()> releaseUnlock;

    // The helper's bound: three passes, later ones within 2 seconds of the first failure.
    static constexpr int kPasses = 3;
    static constexpr double kWindow = 2.0;
    static constexpr double kPause = 0.25;
};

}  // namespace pyrelle
