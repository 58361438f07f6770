#include "pyrelle/SystemClock.hpp"

#include <chrono>
#include <cmath>
#include <thread>

namespace pyrelle::SystemClock {

double uptime() {
    // steady_clock is CLOCK_MONOTONIC on Linux: it stops while the machine sleeps, like the
    // system uptime the fan hand-over and read-back deadlines are defined on.
    using namespace std::chrono;
    return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

void sleep(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 3600.0)));
}

}  // namespace pyrelle::SystemClock
