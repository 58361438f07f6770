#pragma once
// Whether the process that started a lease still runs: the process-id check of the probes,
// pinned to the very process first seen through a pidfd, so that a new process given the same
// id after the owner exited cannot keep a lease alive. Where pidfds are not available the
// plain check is all there is.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace pyrelle::helper {

class OwnerWatch {
public:
    // `check` is the plain test (pid runs as uid), normally pyr_owner_alive.
    explicit OwnerWatch(std::function<bool(int32_t, uint32_t)> check) : check_(std::move(check)) {}
    ~OwnerWatch();
    OwnerWatch(const OwnerWatch&) = delete;
    OwnerWatch& operator=(const OwnerWatch&) = delete;

    // The first call for a pid pins that process; later calls also fail once it has exited.
    // Thread-safe.
    bool alive(int32_t pid, uint32_t uid);

private:
    std::function<bool(int32_t, uint32_t)> check_;
    std::mutex mutex_;
    std::map<int32_t, int> pinned_;  // pid → pidfd (-1: none could be opened)
};

}  // namespace pyrelle::helper
