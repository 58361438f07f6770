#pragma once
// An emulation of the kernel's SMC drivers behind the kernel-tree device's attribute seam,
// following each driver's own show and store rules:
//   - applesmc (drivers/hwmon/applesmc.c, and the T2 patches): every file is root's, 0444, or
//     0644 where the driver has a store function; a store into a 0444 file is EACCES; a store
//     that is no plain decimal (kstrtoul) is EINVAL, and so is a speed of 0x4000 or more;
//     temperatures are 250 * (sp78 >> 6) millidegrees (250 m°C steps, negatives included);
//     fan speeds are fpe2 (float on T2) printed as whole rpm; fanN_manual is the fan's bit
//     of "FS! " (on T2 the F{n}Md byte as it is, written as input & 1); the raw key interface
//     with its one shared index (EINVAL beyond key_count); while a fan is manual its speed
//     follows its target with a few rpm of jitter.
//   - macsmc-hwmon: the files of a fixture tree as they are, all 0444.
// Any attribute can be made to fail with EIO a number of times (or for good) or with EACCES
// at open.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AttributeFiles.hpp"

namespace pyrelle::testing {

class DriverEmulator final : public csmc::AttributeFiles {
public:
    // One SMC key of the emulated machine: name, type, raw bytes (big-endian but "flt ").
    struct Key {
        std::string name;
        std::string type;
        std::vector<uint8_t> bytes;
    };
    static Key sp78(const std::string& name, double celsius) {
        const auto raw = static_cast<int16_t>(std::lround(celsius * 256));
        return {name, "sp78", {static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)}};
    }
    static Key fpe2(const std::string& name, double rpm) {
        const auto raw = static_cast<uint16_t>(std::lround(rpm * 4));
        return {name, "fpe2", {static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)}};
    }
    static Key flt(const std::string& name, double value) {
        const auto single = static_cast<float>(value);
        std::vector<uint8_t> bytes(4);
        std::memcpy(bytes.data(), &single, 4);
        return {name, "flt ", bytes};
    }
    static Key ui(const std::string& name, const std::string& type, uint32_t value, size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
        return {name, type, bytes};
    }

    // applesmc over `keys` (sorted by name here, as the SMC lists them).
    explicit DriverEmulator(std::vector<Key> keys) {
        for (auto& key : keys) keys_[key.name] = std::move(key);
        for (const auto& [name, key] : keys_) order_.push_back(name);
        fans_ = keys_.count("FNum") ? keys_["FNum"].bytes[0] : 0;
        for (const auto& name : order_)
            if (name[0] == 'T' && keys_[name].type == "sp78") temps_.push_back(name);
        const auto files = generatedLocked();
        generated_.insert(files.begin(), files.end());
    }
    // macsmc-hwmon (or any driver) as the files of a fixture directory.
    static std::shared_ptr<DriverEmulator> fromFixture(const std::string& directory) {
        auto made = std::make_shared<DriverEmulator>(std::vector<Key>{});
        DriverEmulator& emulator = *made;
        emulator.applesmc_ = false;
        emulator.generated_.clear();
        namespace fs = std::filesystem;
        for (const auto& item : fs::recursive_directory_iterator(directory)) {
            const std::string path = fs::relative(item.path(), directory).string();
            if (item.is_directory()) {
                emulator.directories_.insert(path);
                continue;
            }
            std::ifstream in(item.path(), std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            emulator.static_[path] = text.str();
        }
        return made;
    }

    // The seam the kernel-tree device owns, forwarding to `emulator` (which the test keeps).
    static std::unique_ptr<csmc::AttributeFiles> seam(std::shared_ptr<DriverEmulator> emulator) {
        struct Forward final : csmc::AttributeFiles {
            std::shared_ptr<DriverEmulator> to;
            int read(const std::string& p, std::string& t) override { return to->read(p, t); }
            int write(const std::string& p, std::string_view t) override { return to->write(p, t); }
            std::vector<std::string> list(const std::string& p) override { return to->list(p); }
            bool exists(const std::string& p) override { return to->exists(p); }
            std::string identity() override { return to->identity(); }
        };
        auto forward = std::make_unique<Forward>();
        forward->to = std::move(emulator);
        return forward;
    }

    // The next `times` operations on `path` fail with `error` (a negative count: every one),
    // e.g. EIO from the driver's port I/O, EACCES at open.
    void fail(const std::string& path, int error, int times) {
        std::lock_guard lock(mutex_);
        errors_[path] = {error, times};
    }
    // The next `times` stores into key_at_index are followed at once by another program's
    // store of `index` (the driver's one index is shared by every process).
    void interfere(uint32_t index, int times) {
        std::lock_guard lock(mutex_);
        interferingIndex_ = index;
        interferences_ = times;
    }
    static Key fixed(const std::string& name, const std::string& type, double value,
                     int fractionBits) {
        const auto raw = static_cast<uint16_t>(
            static_cast<int16_t>(std::lround(std::ldexp(value, fractionBits))));
        return {name, type, {static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)}};
    }
    // Attribute operations made so far, by file.
    std::map<std::string, int> operations() const {
        std::lock_guard lock(mutex_);
        return operations_;
    }
    void clearOperations() {
        std::lock_guard lock(mutex_);
        operations_.clear();
    }
    // The SMC's bytes of `name` (as the driver last wrote them).
    std::vector<uint8_t> bytes(const std::string& name) const {
        std::lock_guard lock(mutex_);
        const auto found = keys_.find(name);
        return found == keys_.end() ? std::vector<uint8_t>{} : found->second.bytes;
    }

    int read(const std::string& path, std::string& text) override {
        std::lock_guard lock(mutex_);
        ++operations_[path];
        if (const int fault = faultLocked(path)) return fault;
        if (!applesmc_) {
            const auto found = static_.find(path);
            if (found == static_.end()) return directories_.count(path) ? EISDIR : ENOENT;
            text = found->second;
            return 0;
        }
        return showLocked(path, text);
    }

    int write(const std::string& path, std::string_view text) override {
        std::lock_guard lock(mutex_);
        ++operations_[path];
        if (!existsLocked(path)) return ENOENT;
        if (modeLocked(path) != 0644) return EACCES;  // no store function: refused at open
        if (const int fault = faultLocked(path)) return fault;
        return storeLocked(path, text);
    }

    std::vector<std::string> list(const std::string& path) override {
        std::lock_guard lock(mutex_);
        std::set<std::string> names;
        const std::string prefix = path.empty() ? "" : path + "/";
        auto add = [&](const std::string& full) {
            if (full.compare(0, prefix.size(), prefix) != 0) return;
            const std::string rest = full.substr(prefix.size());
            if (!rest.empty()) names.insert(rest.substr(0, rest.find('/')));
        };
        for (const auto& [file, text] : static_) add(file);
        for (const auto& file : generated_) add(file);
        return {names.begin(), names.end()};
    }

    bool exists(const std::string& path) override {
        std::lock_guard lock(mutex_);
        return existsLocked(path) || directories_.count(path) != 0;
    }

    std::string identity() override { return {}; }  // never remembered across opens

    // The mode the driver gives the attribute (0 when there is none).
    int mode(const std::string& path) {
        std::lock_guard lock(mutex_);
        return modeLocked(path);
    }

private:
    int faultLocked(const std::string& path) {
        const auto found = errors_.find(path);
        if (found == errors_.end() || found->second.second == 0) return 0;
        if (found->second.second > 0) --found->second.second;
        return found->second.first;
    }

    std::vector<std::string> generatedLocked() const {
        std::vector<std::string> files;
        if (!applesmc_) return files;
        for (const char* f : {"name", "key_count", "key_at_index", "key_at_index_name",
                              "key_at_index_type", "key_at_index_data_length", "key_at_index_data"})
            files.emplace_back(f);
        for (int n = 1; n <= fans_; ++n)
            for (const char* f : {"input", "min", "max", "safe", "output", "manual", "label"})
                files.push_back("fan" + std::to_string(n) + "_" + f);
        for (size_t t = 1; t <= temps_.size(); ++t) {
            files.push_back("temp" + std::to_string(t) + "_label");
            files.push_back("temp" + std::to_string(t) + "_input");
        }
        return files;
    }

    bool existsLocked(const std::string& path) const {
        return static_.count(path) != 0 || generated_.count(path) != 0;
    }

    int modeLocked(const std::string& path) const {
        if (!existsLocked(path)) return 0;
        if (!applesmc_) return 0444;
        static const char* kStored[] = {"key_at_index", "_min", "_output", "_manual"};
        for (const char* suffix : kStored) {
            const std::string tail = suffix;
            if (path.size() >= tail.size() &&
                path.compare(path.size() - tail.size(), tail.size(), tail) == 0)
                return 0644;
        }
        return 0444;
    }

    // fanN_<file> → its SMC key ("F{N-1}" + suffix), option index as in the driver.
    static std::string fanKey(int fan, const std::string& suffix) {
        return "F" + std::to_string(fan - 1) + suffix;
    }

    double speedLocked(const std::string& key) {
        const auto& k = keys_.at(key);
        if (k.type == "flt ") {
            float value;
            std::memcpy(&value, k.bytes.data(), 4);
            return static_cast<unsigned>(value);  // applesmc_float_to_u32 truncates
        }
        return (k.bytes[0] << 8 | k.bytes[1]) >> 2;
    }

    bool manualLocked(int fan) {
        if (const auto mode = keys_.find(fanKey(fan, "Md")); mode != keys_.end())
            return mode->second.bytes[0] == 1;
        const auto& mask = keys_.at("FS! ").bytes;
        return ((mask[0] << 8 | mask[1]) >> (fan - 1) & 1) != 0;
    }

    int showLocked(const std::string& path, std::string& text) {
        auto line = [&](const std::string& value) {
            text = value + "\n";
            return 0;
        };
        if (path == "name") return line("applesmc");
        if (path == "key_count") return line(std::to_string(order_.size()));
        if (path == "key_at_index") return line(std::to_string(index_));
        if (path.rfind("key_at_index_", 0) == 0) {
            if (index_ >= order_.size()) return EINVAL;
            const Key& key = keys_.at(order_[index_]);
            if (path == "key_at_index_name") return line(key.name);
            if (path == "key_at_index_type") return line(key.type);
            if (path == "key_at_index_data_length") return line(std::to_string(key.bytes.size()));
            if (path == "key_at_index_data") {
                text.assign(key.bytes.begin(), key.bytes.end());
                return 0;
            }
        }
        int number = 0;
        char suffix[16] = {};
        if (std::sscanf(path.c_str(), "temp%d_%15s", &number, suffix) == 2 && number >= 1 &&
            static_cast<size_t>(number) <= temps_.size()) {
            const Key& key = keys_.at(temps_[number - 1]);
            if (std::string(suffix) == "label") return line(key.name);
            const auto raw = static_cast<int16_t>(key.bytes[0] << 8 | key.bytes[1]);
            return line(std::to_string(250 * (raw >> 6)));
        }
        if (std::sscanf(path.c_str(), "fan%d_%15s", &number, suffix) == 2 && number >= 1 &&
            number <= fans_) {
            const std::string what = suffix;
            if (what == "label") return line("Fan " + std::to_string(number));
            if (what == "manual") {
                if (const auto mode = keys_.find(fanKey(number, "Md")); mode != keys_.end())
                    return line(std::to_string(mode->second.bytes[0]));
                return line(manualLocked(number) ? "1" : "0");
            }
            static const std::map<std::string, std::string> kSuffix = {
                {"input", "Ac"}, {"min", "Mn"}, {"max", "Mx"}, {"safe", "Sf"}, {"output", "Tg"}};
            const auto key = fanKey(number, kSuffix.at(what));
            if (!keys_.count(key)) return EINVAL;
            double rpm = speedLocked(key);
            if (what == "input" && manualLocked(number)) {
                // The SMC spins a manual fan to its target, never exactly.
                rpm = speedLocked(fanKey(number, "Tg")) + static_cast<int>(jitter_++ % 5) - 2;
            }
            return line(std::to_string(static_cast<long>(rpm)));
        }
        return ENOENT;
    }

    static bool decimal(std::string_view text, unsigned long& value) {
        if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        if (text.empty() || text.size() > 18) return false;
        value = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        return true;
    }

    int storeLocked(const std::string& path, std::string_view text) {
        unsigned long value = 0;
        if (!decimal(text, value)) return EINVAL;
        if (path == "key_at_index") {
            if (value >= order_.size()) return EINVAL;
            index_ = static_cast<uint32_t>(value);
            if (interferences_ > 0) {
                --interferences_;
                index_ = interferingIndex_;
            }
            return 0;
        }
        int fan = 0;
        char suffix[16] = {};
        if (std::sscanf(path.c_str(), "fan%d_%15s", &fan, suffix) != 2) return EINVAL;
        const std::string what = suffix;
        if (what == "manual") {
            if (auto mode = keys_.find(fanKey(fan, "Md")); mode != keys_.end()) {
                mode->second.bytes[0] = static_cast<uint8_t>(value & 1);
                return 0;
            }
            auto& mask = keys_.at("FS! ").bytes;
            uint16_t bits = static_cast<uint16_t>(mask[0] << 8 | mask[1]);
            bits = value ? bits | (1u << (fan - 1)) : bits & ~(1u << (fan - 1));
            mask = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
            return 0;
        }
        if (value >= 0x4000) return EINVAL;  // bigger than a 14-bit value
        auto& key = keys_.at(fanKey(fan, what == "min" ? "Mn" : "Tg"));
        key = key.type == "flt " ? flt(key.name, static_cast<double>(value))
                                 : fpe2(key.name, static_cast<double>(value));
        return 0;
    }

    mutable std::mutex mutex_;
    bool applesmc_ = true;
    std::map<std::string, Key> keys_;
    std::vector<std::string> order_, temps_;
    int fans_ = 0;
    uint32_t index_ = 0;
    unsigned jitter_ = 0;
    std::set<std::string> generated_;  // the applesmc attributes, fixed by the key table
    std::map<std::string, std::string> static_;
    std::set<std::string> directories_;
    std::map<std::string, std::pair<int, int>> errors_;
    uint32_t interferingIndex_ = 0;
    int interferences_ = 0;
    std::map<std::string, int> operations_;
};

}  // namespace pyrelle::testing
