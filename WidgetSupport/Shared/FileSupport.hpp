#pragma once
// FileSupport: the widget files' shared plumbing, a descriptor closed on every path out of a
// scope and the error a failed file-system step throws.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace pyrelle::FileSupport {

// Throws std::system_error for `error`, naming the step and the path.
[[noreturn]] inline void fail(const std::string& what, const std::filesystem::path& path,
                              int error = errno) {
    throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

// Closes a descriptor on every path out of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

}  // namespace pyrelle::FileSupport
