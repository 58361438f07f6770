#pragma once

namespace pyrelle::SystemClock {

// The real clock and pause that time-bounded hardware code uses by default.

// Seconds since boot on a monotonic clock that does not count time spent asleep (the system
// uptime). Only differences are meaningful.
double uptime();

// Blocks the calling thread for `seconds` (nothing for zero, negative or non-finite values).
void sleep(double seconds);

}  // namespace pyrelle::SystemClock
