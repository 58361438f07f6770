#pragma once
// One lease at a time per device: an exclusive flock(2) on a file named after the device's
// identity, in a directory only root may write to. The guardian holds it from a lease's start
// until the fans are verifiably automatic again, so a new lease cannot write while an earlier
// one's guardian is still handing the fans back, nor the guardian over a new lease.

#include <string>

#include "CSMCDeviceIdentity.hpp"

namespace pyrelle::helper {

class LeaseLock {
public:
    enum class Outcome { held, busy, unavailable };

    static constexpr const char* kDirectory = "/run/pyrelle";

    explicit LeaseLock(std::string directory = kDirectory) : directory_(std::move(directory)) {}
    ~LeaseLock();
    LeaseLock(const LeaseLock&) = delete;
    LeaseLock& operator=(const LeaseLock&) = delete;

    // One attempt, without waiting. `unavailable` when the directory cannot be made or is not
    // root's alone (a directory of anyone else's could be used to hold every lease off).
    // Taking it again while held is `held`.
    Outcome acquire(const csmc::DeviceIdentity& device);
    // Removes the file and lets it go; nothing when not held.
    void release();

private:
    std::string directory_;
    int directoryFd_ = -1;
    int fd_ = -1;
    std::string name_;
};

}  // namespace pyrelle::helper
