#pragma once
// Waiting for what another process or thread does: polls `done` until it holds or `seconds`
// have passed. The bound only limits how long a failing test waits; it claims nothing about
// how fast anything is.

#include <chrono>
#include <functional>
#include <thread>

namespace pyrelle::testing {

inline bool eventually(double seconds, const std::function<bool()>& done,
                       std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(every);
    }
    return done();
}

}  // namespace pyrelle::testing
