#pragma once
// A private scratch directory for one test, removed with everything in it afterwards.

#include <filesystem>
#include <set>
#include <string>

#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <cerrno>

namespace pyrelle::testing {

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern =
            std::filesystem::temp_directory_path().string() + "/pyrelle-power-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string slashed() const { return path_ + "/"; }

    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.insert(entry.path().filename());
        return names;
    }

private:
    std::string path_;
};

// Open descriptors of this process.
inline size_t openDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// True when this process has no child left to reap (no zombie, nothing running).
inline bool noChildren() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

}  // namespace pyrelle::testing
