// Battery and memory telemetry read from Linux: /sys/class/power_supply stands in for the
// power-source service and the battery's registry entry, /proc/meminfo for the kernel's
// virtual-memory statistics.

#include "pyrelle/SystemTelemetry.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "../Support/JSONDecoding.hpp"

namespace pyrelle {

namespace {

std::string joined(const std::string& root, const std::string& path) {
    std::string full = root.empty() ? "/" : root;
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (full == "/") full.clear();
    return full + path;
}

// The first `limit` bytes of a small text file; empty when unreadable.
std::string readText(const std::string& path, size_t limit = 8192) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return text;
    text.resize(limit);
    text.resize(std::fread(text.data(), 1, limit, file));
    std::fclose(file);
    return text;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() &&
           std::string_view(" \t\r\n").find(text.front()) != std::string_view::npos)
        text.remove_prefix(1);
    while (!text.empty() && std::string_view(" \t\r\n").find(text.back()) != std::string_view::npos)
        text.remove_suffix(1);
    return text;
}

// A sysfs attribute holding one integer; absent when missing or not a whole number.
std::optional<double> attributeNumber(const std::string& path) {
    const std::string text = readText(path, 128);
    const std::string_view value = trimmed(text);
    int64_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size())
        return std::nullopt;
    return static_cast<double>(number);
}

std::string attributeWord(const std::string& path) {
    return std::string(trimmed(readText(path, 128)));
}

// "<key>: <n> kB" of /proc/meminfo, in bytes.
std::optional<double> meminfoBytes(std::string_view text, std::string_view key) {
    size_t at = 0;
    while ((at = text.find(key, at)) != std::string_view::npos) {
        if ((at == 0 || text[at - 1] == '\n') && at + key.size() < text.size() &&
            text[at + key.size()] == ':')
            break;
        at += key.size();
    }
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(at + key.size() + 1);
    rest = trimmed(rest.substr(0, rest.find('\n')));
    uint64_t kilobytes = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), kilobytes);
    if (error != std::errc() ||
        trimmed(std::string_view(end, rest.data() + rest.size() - end)) != "kB") {
        return std::nullopt;
    }
    return static_cast<double>(kilobytes) * 1024.0;
}

// One internal battery as Linux describes it.
struct Battery {
    std::optional<double> current, maximum;  // capacity, any unit both share
    std::optional<bool> charging;
    std::optional<double> millivolts, milliamps, cycles;
};

// Linux mapping of the power-source and registry values:
// - "Current/Max Capacity": energy_now/energy_full (µWh), else charge_now/charge_full (µAh),
//   else the driver's own capacity percentage against 100.
// - "Is Charging": status "Charging" is true; "Discharging", "Not charging" and "Full" are
//   false; "Unknown" or no status leaves it absent.
// - "Voltage"/"Amperage": voltage_now and current_now are in µV and µA. Drivers disagree on
//   the sign of current_now, so it is signed from the status the way the battery itself
//   reports it on a Mac: negative while discharging, positive while charging. Without
//   current_now, power_now (µW) ÷ voltage gives the current.
// - "CycleCount": cycle_count.
Battery readBattery(const std::string& base) {
    Battery battery;
    for (const auto& [now, full] :
         {std::pair{"energy_now", "energy_full"}, std::pair{"charge_now", "charge_full"}}) {
        const auto current = attributeNumber(base + now);
        const auto maximum = attributeNumber(base + full);
        if (current && maximum) {
            battery.current = current;
            battery.maximum = maximum;
            break;
        }
    }
    if (!battery.current) {
        if (const auto percent = attributeNumber(base + "capacity")) {
            battery.current = percent;
            battery.maximum = 100.0;
        }
    }
    const std::string status = attributeWord(base + "status");
    if (status == "Charging")
        battery.charging = true;
    else if (status == "Discharging" || status == "Not charging" || status == "Full")
        battery.charging = false;

    if (const auto microvolts = attributeNumber(base + "voltage_now"))
        battery.millivolts = *microvolts / 1000.0;
    std::optional<double> milliamps;
    if (const auto microamps = attributeNumber(base + "current_now")) {
        milliamps = *microamps / 1000.0;
    } else if (const auto microwatts = attributeNumber(base + "power_now");
               microwatts && battery.millivolts && *battery.millivolts > 0) {
        milliamps = *microwatts / *battery.millivolts;  // µW / mV = mA
    }
    if (milliamps) {
        if (status == "Discharging")
            milliamps = -std::fabs(*milliamps);
        else if (status == "Charging")
            milliamps = std::fabs(*milliamps);
        battery.milliamps = milliamps;
    }
    battery.cycles = attributeNumber(base + "cycle_count");
    return battery;
}

std::vector<std::string> supplyNames(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::optional<double> SystemTelemetry::memoryPercent() const {
    if (!memoryUsed) return std::nullopt;
    const double percent = *memoryUsed / memoryTotal * 100.0;
    if (!std::isfinite(percent)) return std::nullopt;
    return percent;
}

std::optional<double> SystemTelemetry::watts(std::optional<double> millivolts,
                                             std::optional<double> milliamps) {
    if (!millivolts || !milliamps || !std::isfinite(*millivolts) || !std::isfinite(*milliamps))
        return std::nullopt;
    if (*millivolts < 1000 || *millivolts > 30000 || !(std::fabs(*milliamps) < 30000))
        return std::nullopt;
    return *millivolts * *milliamps / 1'000'000.0;
}

SystemTelemetry SystemTelemetry::read() {
    return read("/", Date::now());
}

// Batteries are the power_supply entries of type "Battery" that are present and not of scope
// "Device" (a peripheral's battery). Every internal battery updates percentage and charging
// flag in name order, so the last one's values are reported; voltage, current and cycles come
// from the first, as a registry lookup returns its first match.
SystemTelemetry SystemTelemetry::read(const std::string& root, Date now) {
    SystemTelemetry telemetry;
    const std::string supplies = joined(root, "/sys/class/power_supply/");
    bool registryRead = false;
    for (const auto& name : supplyNames(supplies)) {
        const std::string base = supplies + name + "/";
        if (attributeWord(base + "type") != "Battery" || attributeWord(base + "scope") == "Device")
            continue;
        if (const auto present = attributeNumber(base + "present"); present && *present == 0)
            continue;
        const Battery battery = readBattery(base);
        if (battery.current && battery.maximum && *battery.maximum > 0) {
            telemetry.batteryPercent =
                std::clamp(*battery.current / *battery.maximum * 100.0, 0.0, 100.0);
        }
        if (battery.charging) telemetry.charging = battery.charging;
        if (!registryRead) {
            registryRead = true;
            telemetry.batteryWatts = watts(battery.millivolts, battery.milliamps);
            if (battery.cycles && *battery.cycles >= 0 && *battery.cycles < 100000) {
                telemetry.cycles = static_cast<int>(*battery.cycles);
            }
        }
    }

    // Installed memory is MemTotal (the machine's physical memory as the kernel manages it);
    // used memory is what the kernel cannot hand out without reclaiming, MemTotal minus
    // MemAvailable — Linux's counterpart of active + wired + compressed pages.
    const std::string meminfo = readText(joined(root, "/proc/meminfo"));
    const auto total = meminfoBytes(meminfo, "MemTotal");
    if (total && *total > 0) {
        telemetry.memoryTotal = *total;
    } else {
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        telemetry.memoryTotal =
            pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 0;
    }
    if (const auto available = meminfoBytes(meminfo, "MemAvailable"); total && available) {
        telemetry.memoryUsed = std::clamp(*total - *available, 0.0, telemetry.memoryTotal);
    }
    telemetry.date = now;
    return telemetry;
}

void to_json(nlohmann::json& json, const SystemTelemetry& telemetry) {
    using jsondecode::putNumber;
    json = nlohmann::json::object();
    json["date"] = telemetry.date;
    putNumber(json, "batteryPercent", telemetry.batteryPercent);
    putNumber(json, "batteryWatts", telemetry.batteryWatts);
    if (telemetry.charging) json["charging"] = *telemetry.charging;
    if (telemetry.cycles) json["cycles"] = *telemetry.cycles;
    putNumber(json, "memoryUsed", telemetry.memoryUsed);
    json["memoryTotal"] = telemetry.memoryTotal;
}

void from_json(const nlohmann::json& json, SystemTelemetry& telemetry) {
    using namespace jsondecode;
    object(json, "SystemTelemetry");
    SystemTelemetry decoded;
    decoded.date = required(json, "date").get<Date>();
    if (const auto* value = optional(json, "batteryPercent"))
        decoded.batteryPercent = number(*value, "batteryPercent");
    if (const auto* value = optional(json, "batteryWatts"))
        decoded.batteryWatts = number(*value, "batteryWatts");
    if (const auto* value = optional(json, "charging"))
        decoded.charging = boolean(*value, "charging");
    if (const auto* value = optional(json, "cycles"))
        decoded.cycles = static_cast<int>(integer(*value, "cycles"));
    if (const auto* value = optional(json, "memoryUsed"))
        decoded.memoryUsed = number(*value, "memoryUsed");
    decoded.memoryTotal = number(required(json, "memoryTotal"), "memoryTotal");
    telemetry = decoded;
}

}  // namespace pyrelle
