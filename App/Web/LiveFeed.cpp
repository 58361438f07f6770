#include "Web/LiveFeed.hpp"

#include <chrono>

namespace kilnview {

void LiveFeed::publish() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++sequence_;
    }
    changed_.notify_all();
}

void LiveFeed::close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
    }
    changed_.notify_all();
}

std::uint64_t LiveFeed::wait(std::uint64_t seen, double seconds) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::duration<double>(seconds),
                      [&] { return closed_ || sequence_ > seen; });
    return sequence_;
}

std::uint64_t LiveFeed::sequence() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sequence_;
}

bool LiveFeed::closed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

}  // namespace kilnview
