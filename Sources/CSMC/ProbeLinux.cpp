// Linux readers for the system probes: CPU ticks, owner liveness, memory pressure, power
// source, thermal zones, cpufreq limits, online CPUs, platform profile and CPU brand.
// Each Linux mapping of a macOS notion is documented where it is coded.

#include "ProbeLinux.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

namespace pyrelle::csmc::probes {

namespace {

constexpr size_t kSmallFile = 4096;

// Reads a small text file under `root` into `buffer`; false when unreadable or empty.
bool readRooted(const char* root, const std::string& path, char* buffer, size_t capacity) {
    const std::string full = joinRoot(root, path.c_str());
    return readFileAt(AT_FDCWD, full.c_str(), buffer, capacity) > 0;
}

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

// A whole (trimmed) decimal integer; false for anything else.
template <typename T>
bool parseWhole(std::string_view text, T& value) {
    text = trimmed(text);
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Reads a file holding one integer (sysfs attribute style).
template <typename T>
bool readInteger(const char* root, const std::string& path, T& value) {
    char buffer[128];
    return readRooted(root, path, buffer, sizeof buffer) &&
           parseWhole(std::string_view(buffer), value);
}

// Reads a file holding one word (sysfs attribute style), trimmed; empty when unreadable.
std::string readWord(const char* root, const std::string& path) {
    char buffer[256];
    if (!readRooted(root, path, buffer, sizeof buffer)) return {};
    return std::string(trimmed(buffer));
}

// Names of the entries of a directory, sorted so every reader walks them in a stable order.
std::vector<std::string> entries(const char* root, const char* path) {
    std::vector<std::string> names;
    const std::string full = joinRoot(root, path);
    DIR* dir = opendir(full.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Value of "<key>=<number>" inside one PSI line, or a negative number when missing/garbled.
double psiField(std::string_view line, std::string_view key) {
    const auto at = line.find(key);
    if (at == std::string_view::npos) return -1;
    const char* begin = line.data() + at + key.size();
    const char* end = line.data() + line.size();
    double value = -1;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop == begin || !(value >= 0 && value <= 100)) return -1;
    return value;
}

}  // namespace

ssize_t readOpenFile(int fd, char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return -EINVAL;
    buffer[0] = '\0';
    size_t total = 0;
    while (total + 1 < capacity) {
        const size_t asked = capacity - 1 - total;
        const ssize_t got = read(fd, buffer + total, asked);
        if (got < 0) {
            if (errno == EINTR) continue;
            buffer[0] = '\0';
            return -errno;
        }
        total += static_cast<size_t>(got);
        // procfs and sysfs hand over a whole record per read, and a regular file is short only
        // at its end: a read that returns less than asked has reached the end, which spares the
        // read that would only return 0 (one system call per file of a process snapshot).
        if (static_cast<size_t>(got) < asked) break;
    }
    buffer[total] = '\0';
    return static_cast<ssize_t>(total);
}

ssize_t readFileAt(int dirfd, const char* path, char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return -EINVAL;
    buffer[0] = '\0';
    const int fd = openat(dirfd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -errno;
    const ssize_t result = readOpenFile(fd, buffer, capacity);
    close(fd);
    return result;
}

std::string joinRoot(const char* root, const char* path) {
    std::string full = (root != nullptr && root[0] != '\0') ? root : "/";
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (full == "/") full.clear();
    full += path;
    return full;
}

// /proc/stat's first line, in USER_HZ ticks. macOS has four states; Linux splits them further:
// user = user (guest time is already inside it), system = system + irq + softirq,
// idle = idle + iowait (a CPU waiting for I/O is idle), nice = nice. Steal time (taken by a
// hypervisor) belongs to none of them and is left out.
int32_t cpuTicks(const char* root, PYRCPUTicks* out) {
    if (out == nullptr) return -1;
    char buffer[1024];
    if (!readRooted(root, "/proc/stat", buffer, sizeof buffer)) return -1;
    std::string_view text(buffer);
    if (text.substr(0, 4) != "cpu ") return -1;
    text.remove_prefix(4);
    uint64_t field[7] = {};
    int parsed = 0;
    for (; parsed < 7; ++parsed) {
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
        if (text.empty() || text.front() == '\n') break;
        const auto [end, error] =
            std::from_chars(text.data(), text.data() + text.size(), field[parsed]);
        if (error != std::errc()) return -1;
        text.remove_prefix(static_cast<size_t>(end - text.data()));
    }
    if (parsed < 4) return -1;  // user nice system idle are the minimum any kernel writes
    out->user = field[0];
    out->nice = field[1];
    out->system = field[2] + field[5] + field[6];
    out->idle = field[3] + field[4];
    return 0;
}

// Reads /proc/<pid>/status: a zombie (Z) or dead (X) task has exited for our purposes, and
// the effective uid (second column of "Uid:") is the one compared, as the process's owner.
int32_t ownerAlive(const char* root, int32_t pid, uint32_t uid) {
    if (pid <= 0) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    char buffer[kSmallFile];
    if (!readRooted(root, path, buffer, sizeof buffer)) return 0;
    const std::string_view text(buffer);
    const auto state = text.find("\nState:");
    if (state != std::string_view::npos) {
        const auto letter = text.find_first_not_of(" \t", state + 7);
        if (letter == std::string_view::npos) return 0;
        if (text[letter] == 'Z' || text[letter] == 'X') return 0;
    }
    const auto line = text.find("\nUid:");
    if (line == std::string_view::npos) return 0;
    std::string_view rest = text.substr(line + 5);
    rest = rest.substr(0, rest.find('\n'));
    uint32_t ids[2] = {};
    for (auto& id : ids) {
        const auto start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos) return 0;
        rest.remove_prefix(start);
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), id);
        if (error != std::errc()) return 0;
        rest.remove_prefix(static_cast<size_t>(end - rest.data()));
    }
    return ids[1] == uid ? 1 : 0;
}

// Pressure-stall information stands in for the kernel's memory-pressure level. avg10 is the
// share of the last 10 seconds in which tasks stalled on memory:
//   "full" avg10 >= 10 % (every runnable task stalled)        -> 4 critical
//   "some" avg10 >= 10 % (at least one task stalled)          -> 2 warning
//   otherwise                                                 -> 1 normal
// No PSI (kernel without it, unreadable or garbled file)      -> -1.
int32_t memoryPressure(const char* root) {
    char buffer[512];
    if (!readRooted(root, "/proc/pressure/memory", buffer, sizeof buffer)) return -1;
    const std::string_view text(buffer);
    if (text.substr(0, 5) != "some ") return -1;
    const std::string_view someLine = text.substr(0, text.find('\n'));
    const double some = psiField(someLine, "avg10=");
    if (some < 0) return -1;
    double full = 0;
    const auto fullAt = text.find("\nfull ");
    if (fullAt != std::string_view::npos) {
        std::string_view fullLine = text.substr(fullAt + 1);
        fullLine = fullLine.substr(0, fullLine.find('\n'));
        full = psiField(fullLine, "avg10=");
        if (full < 0) return -1;
    }
    if (full >= 10) return 4;
    if (some >= 10) return 2;
    return 1;
}

// The power_supply class lists mains adapters, USB ports and batteries. The providing source:
//   an external supply (Mains, USB*, Wireless, BrickID) that is online   -> 1 (AC power)
//   an internal battery that is charging (it must be fed from outside)   -> 1
//   an internal battery that is discharging                              -> 0 (battery)
//   external supplies listed, all offline, and an internal battery       -> 0
//   anything else (no supplies, a battery in state "Unknown" alone, ...) -> -1
// Batteries with scope "Device" belong to peripherals (mice, keyboards) and are ignored.
int32_t acPower(const char* root) {
    bool externalListed = false, externalOnline = false;
    bool battery = false, charging = false, discharging = false;
    for (const auto& name : entries(root, "/sys/class/power_supply")) {
        const std::string base = "/sys/class/power_supply/" + name + "/";
        const std::string type = readWord(root, base + "type");
        if (type == "Battery") {
            if (readWord(root, base + "scope") == "Device") continue;
            int present = 1;
            if (readInteger(root, base + "present", present) && present == 0) continue;
            battery = true;
            const std::string status = readWord(root, base + "status");
            charging = charging || status == "Charging";
            discharging = discharging || status == "Discharging";
        } else if (type == "Mains" || type.rfind("USB", 0) == 0 || type == "Wireless" ||
                   type == "BrickID") {
            externalListed = true;
            int online = 0;
            if (readInteger(root, base + "online", online) && online == 1) externalOnline = true;
        }
    }
    if (externalOnline || charging) return 1;
    if (discharging) return 0;
    if (externalListed && battery) return 0;
    return -1;
}

// Thermal zones stand in for the operating system's thermal state. Each zone with a readable
// temperature and at least one trip point is placed against its trips:
//   at or above a "critical" or "hot" trip    -> 3 critical
//   at or above a "passive" trip (throttling) -> 2 serious
//   at or above an "active" trip (cooling on) -> 1 fair
//   below every trip                          -> 0 nominal
// The machine's state is the highest over its zones; without a usable zone it is -1.
int32_t thermalState(const char* root) {
    int32_t state = -1;
    for (const auto& zone : entries(root, "/sys/class/thermal")) {
        if (zone.rfind("thermal_zone", 0) != 0) continue;
        const std::string base = "/sys/class/thermal/" + zone + "/";
        int64_t temp = 0;
        if (!readInteger(root, base + "temp", temp)) continue;
        int32_t zoneState = 0;
        bool anyTrip = false;
        for (int trip = 0; trip < 64; ++trip) {
            const std::string prefix = base + "trip_point_" + std::to_string(trip) + "_";
            const std::string type = readWord(root, prefix + "type");
            if (type.empty()) break;
            int64_t limit = 0;
            if (!readInteger(root, prefix + "temp", limit) || limit <= 0) continue;
            int32_t level = 0;
            if (type == "critical" || type == "hot")
                level = 3;
            else if (type == "passive")
                level = 2;
            else if (type == "active")
                level = 1;
            else
                continue;
            anyTrip = true;
            if (temp >= limit) zoneState = std::max(zoneState, level);
        }
        if (anyTrip) state = std::max(state, zoneState);
    }
    return state;
}

// The macOS thermal warning levels are 0 (normal), 5 (danger) and 10 (crisis). From the
// thermal state: nominal and fair -> 0, serious (kernel throttling) -> 5, critical -> 10.
int32_t thermalWarning(const char* root) {
    switch (thermalState(root)) {
        case 0:
        case 1: return 0;
        case 2: return 5;
        case 3: return 10;
        default: return -1;
    }
}

// The macOS speed limit is the share of full speed the CPUs may run at. Linux says it per CPU
// as cpufreq's scaling_max_freq against cpuinfo_max_freq; the machine's limit is the lowest
// over its online CPUs (rounded down), further capped by intel_pstate's max_perf_pct.
int32_t speedLimit(const char* root) {
    int32_t limit = -1;
    for (const auto& name : entries(root, "/sys/devices/system/cpu")) {
        if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos) {
            continue;
        }
        const std::string base = "/sys/devices/system/cpu/" + name + "/";
        int online = 1;
        if (readInteger(root, base + "online", online) && online == 0) continue;
        uint64_t scaling = 0, hardware = 0;
        if (!readInteger(root, base + "cpufreq/scaling_max_freq", scaling) ||
            !readInteger(root, base + "cpufreq/cpuinfo_max_freq", hardware) || hardware == 0) {
            continue;
        }
        const auto percent =
            static_cast<int32_t>(std::min<uint64_t>(scaling * 100 / hardware, 100));
        limit = limit < 0 ? percent : std::min(limit, percent);
    }
    int32_t pstate = 0;
    if (limit >= 0 &&
        readInteger(root, "/sys/devices/system/cpu/intel_pstate/max_perf_pct", pstate) &&
        pstate >= 0 && pstate <= 100) {
        limit = std::min(limit, pstate);
    }
    return limit;
}

int32_t countCPUList(const char* text) {
    std::string_view rest = trimmed(text == nullptr ? "" : text);
    if (rest.empty()) return -1;
    int64_t count = 0;
    while (!rest.empty()) {
        const std::string_view item = rest.substr(0, rest.find(','));
        rest.remove_prefix(std::min(rest.size(), item.size() + 1));
        const auto dash = item.find('-');
        uint32_t first = 0, last = 0;
        if (!parseWhole(item.substr(0, dash), first)) return -1;
        last = first;
        if (dash != std::string_view::npos && !parseWhole(item.substr(dash + 1), last)) return -1;
        if (last < first || last - first > 65535) return -1;
        count += last - first + 1;
        if (count > 1'000'000) return -1;
    }
    return static_cast<int32_t>(count);
}

// CPUs the scheduler may currently use: the kernel's list of online CPUs.
int32_t onlineCPUs(const char* root) {
    char buffer[1024];
    if (!readRooted(root, "/sys/devices/system/cpu/online", buffer, sizeof buffer)) return -1;
    return countCPUList(buffer);
}

// The ACPI platform profile stands in for low-power mode: "low-power" is the profile that
// trades speed for energy the way macOS's mode does; any other profile is off.
int32_t lowPowerMode(const char* root) {
    const std::string profile = readWord(root, "/sys/firmware/acpi/platform_profile");
    if (profile.empty()) return -1;
    return profile == "low-power" ? 1 : 0;
}

// Linux has no counterpart of the scheduler limit (the share of time the scheduler lets the
// CPUs run), so it stays -1 rather than a made-up 100.
PYRPowerStatus powerStatus(const char* root) {
    PYRPowerStatus status{};
    status.speed_limit = speedLimit(root);
    status.scheduler_limit = -1;
    status.available_cpus = onlineCPUs(root);
    status.thermal_warning = thermalWarning(root);
    return status;
}

int32_t cpuBrand(const char* root, char* out, int32_t size) {
    if (out == nullptr || size < 1) return -1;
    out[0] = '\0';
    char buffer[kSmallFile];
    if (!readRooted(root, "/proc/cpuinfo", buffer, sizeof buffer)) return -1;
    const std::string_view text(buffer);
    for (const std::string_view key : {std::string_view("model name"), std::string_view("Model")}) {
        size_t at = 0;
        if (text.substr(0, key.size()) != key) {
            at = text.find("\n" + std::string(key));
            if (at == std::string_view::npos) continue;
            at += 1;
        }
        std::string_view line = text.substr(at);
        line = line.substr(0, line.find('\n'));
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (value.empty()) continue;
        const size_t length = std::min(value.size(), static_cast<size_t>(size - 1));
        std::memcpy(out, value.data(), length);
        out[length] = '\0';
        return static_cast<int32_t>(length);
    }
    return -1;
}

}  // namespace pyrelle::csmc::probes
