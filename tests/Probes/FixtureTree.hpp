#pragma once
// A throw-away directory tree standing in for the root of a Linux file system, so the /proc
// and /sys readers can be run over exactly the files a test writes.

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace pyrelle::testing {

class FixtureTree {
public:
    FixtureTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pyrelle-probes-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~FixtureTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

    // Writes `text` to `path` (relative to the root), creating the directories above it.
    void write(const std::string& path, const std::string& text) const {
        const auto full = root_ / path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << text;
    }
    void mkdir(const std::string& path) const { std::filesystem::create_directories(root_ / path); }
    void remove(const std::string& path) const { std::filesystem::remove_all(root_ / path); }

    const char* root() const { return rootText_ = root_.string(), rootText_.c_str(); }

private:
    std::filesystem::path root_;
    mutable std::string rootText_;
};

}  // namespace pyrelle::testing
