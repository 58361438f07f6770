#pragma once
// A kernel SMC driver tree for tests: a fixture of tests/Hardware/data/kernel-trees copied
// into a fresh directory (root's, readable by every user, as sysfs is, each attribute with
// the mode its driver gives it: 0644 where applesmc has a store function, else 0444), and an
// emulation of the driver's fans: while fanN_manual is 1, fanN_input follows fanN_output.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace pyrelle::testing {

class KernelTree {
public:
    explicit KernelTree(const std::string& fixture) {
        char pattern[] = "/tmp/pyrelle-tree-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        path_ = root_ + "/" + fixture;
        namespace fs = std::filesystem;
        fs::copy(std::string(PYRELLE_SOURCE_DIR) + "/tests/Hardware/data/kernel-trees/" + fixture,
                 path_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        const bool applesmc = fixture.rfind("applesmc", 0) == 0;
        for (const auto& item : fs::recursive_directory_iterator(path_)) {
            if (!item.is_regular_file(ignored_) || item.is_symlink(ignored_)) continue;
            const std::string name = item.path().filename().string();
            auto endsWith = [&name](const std::string& tail) {
                return name.size() >= tail.size() &&
                       name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
            };
            const bool stored = applesmc && (endsWith("_output") || endsWith("_manual") ||
                                             endsWith("_min") || name == "key_at_index");
            fs::permissions(item.path(), stored ? fs::perms(0644) : fs::perms(0444), ignored_);
        }
    }
    ~KernelTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    KernelTree(const KernelTree&) = delete;
    KernelTree& operator=(const KernelTree&) = delete;

    const std::string& path() const { return path_; }

    // The file's first line, or "" when it cannot be read.
    std::string read(const std::string& file) const {
        std::ifstream in(path_ + "/" + file);
        std::string line;
        std::getline(in, line);
        return line;
    }
    // Replaces the file at once (a reader sees the old or the new text, never a mix).
    void write(const std::string& file, const std::string& text) const {
        const std::string temporary = path_ + "/." + file + ".new";
        std::ofstream(temporary) << text << "\n";
        std::filesystem::rename(temporary, path_ + "/" + file);
    }
    // Makes the file unreadable for good: a directory takes its place.
    void breakFile(const std::string& file) const {
        std::filesystem::remove(path_ + "/" + file);
        std::filesystem::create_directory(path_ + "/" + file);
    }

private:
    std::string root_, path_;
    std::error_code ignored_;
};

// The driver's side of the fans: every few milliseconds, each manual fan's speed is set to its
// requested output, as the SMC would spin it up.
class FanDriverEmulation {
public:
    explicit FanDriverEmulation(const KernelTree& tree) : tree_(tree) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                for (int n = 1; n <= 2; ++n) {
                    const std::string fan = "fan" + std::to_string(n) + "_";
                    const std::string output = tree_.read(fan + "output");
                    const std::string input = tree_.read(fan + "input");  // "" once broken
                    if (tree_.read(fan + "manual") == "1" && !output.empty() && !input.empty() &&
                        input != output) {
                        try {
                            tree_.write(fan + "input", output);
                        } catch (const std::exception&) {  // the file was broken meanwhile
                        }
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~FanDriverEmulation() {
        stop_.store(true);
        thread_.join();
    }
    FanDriverEmulation(const FanDriverEmulation&) = delete;
    FanDriverEmulation& operator=(const FanDriverEmulation&) = delete;

private:
    const KernelTree& tree_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pyrelle::testing
