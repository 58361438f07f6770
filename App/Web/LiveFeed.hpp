#pragma once
// LiveFeed: tells waiting event streams that a new sample was recorded. The sampling loop
// calls publish(); each /events connection waits for a sequence number beyond the one it
// sent last. Thread-safe; every wait is bounded.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kilnview {

class LiveFeed {
public:
    void publish();
    // Ends every wait now and every later one at once (the server is stopping).
    void close();
    // Waits up to `seconds` for a sequence number above `seen`; returns the current number.
    std::uint64_t wait(std::uint64_t seen, double seconds);
    std::uint64_t sequence() const;
    bool closed() const;

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t sequence_ = 0;  // guarded by lock_
    bool closed_ = false;         // guarded by lock_
};

}  // namespace kilnview
