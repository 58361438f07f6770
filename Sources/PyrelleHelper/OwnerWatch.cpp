#include "OwnerWatch.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pyrelle::helper {

OwnerWatch::~OwnerWatch() {
    for (const auto& [pid, fd] : pinned_) {
        if (fd >= 0) ::close(fd);
    }
}

bool OwnerWatch::alive(int32_t pid, uint32_t uid) {
    std::lock_guard lock(mutex_);
    auto pinned = pinned_.find(pid);
    if (pinned == pinned_.end()) {
        // Opened before the plain check, so the check is about the pinned process (or, if that
        // one ended in between, the pidfd reports its end at the next call).
        const int fd = pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
        pinned = pinned_.emplace(pid, fd < 0 ? -1 : fd).first;
    }
    if (pinned->second >= 0) {
        // A pidfd becomes readable when its process has exited.
        pollfd ended{pinned->second, POLLIN, 0};
        if (::poll(&ended, 1, 0) > 0) return false;
    }
    return check_(pid, uid);
}

}  // namespace pyrelle::helper
