#include "LeaseLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pyrelle::helper {

namespace {

bool rootOnlyDirectory(const struct stat& info) {
    return S_ISDIR(info.st_mode) && info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

LeaseLock::Outcome LeaseLock::acquire(const csmc::DeviceIdentity& device) {
    if (fd_ >= 0) return Outcome::held;
    if (directoryFd_ < 0) {
        if (::mkdir(directory_.c_str(), 0755) != 0 && errno != EEXIST) return Outcome::unavailable;
        directoryFd_ = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info {};
        if (directoryFd_ < 0 || ::fstat(directoryFd_, &info) != 0 || !rootOnlyDirectory(info)) {
            if (directoryFd_ >= 0) ::close(directoryFd_);
            directoryFd_ = -1;
            return Outcome::unavailable;
        }
    }
    name_ = "fans-" + std::to_string(device.device) + "-" + std::to_string(device.inode) + ".lock";
    // The holder removes the file before it lets go, so a file that was locked may be gone
    // (or replaced) by the time the lock is ours: then the lock guards nothing and is taken
    // again on the file now there.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd =
            ::openat(directoryFd_, name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return Outcome::unavailable;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            return error == EWOULDBLOCK ? Outcome::busy : Outcome::unavailable;
        }
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) == 0 &&
            ::fstatat(directoryFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            fd_ = fd;
            return Outcome::held;
        }
        ::close(fd);
    }
    return Outcome::busy;
}

LeaseLock::~LeaseLock() {
    release();
    if (directoryFd_ >= 0) ::close(directoryFd_);
}

void LeaseLock::release() {
    if (fd_ < 0) return;
    ::unlinkat(directoryFd_, name_.c_str(), 0);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace pyrelle::helper
