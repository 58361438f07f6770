#include "pyrelle/SensorNamingPlatform.hpp"

#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "CSMCDevice.hpp"

namespace pyrelle {

namespace {

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// The brand the virtual Mac reports over its power-manager exchange ({"brand": "..."}).
std::optional<std::string> virtualMacBrand() {
    if (!csmc::deviceConfigured()) return std::nullopt;
    std::vector<uint8_t> reply;
    if (csmc::deviceExchange(csmc::kSelectorPowerManager, {}, reply) != 0) return std::nullopt;
    const auto json = nlohmann::json::parse(reply.begin(), reply.end(), nullptr, false);
    if (!json.is_object()) return std::nullopt;
    const auto brand = json.find("brand");
    if (brand == json.end() || !brand->is_string()) return std::nullopt;
    return brand->get<std::string>();
}

// The first "model name" line of /proc/cpuinfo (x86), else the "Model" line (arm boards).
std::optional<std::string> cpuinfoBrand(const std::string& root) {
    std::string path = root;
    if (!path.empty() && path.back() == '/') path.pop_back();
    std::ifstream file(path + "/proc/cpuinfo");
    if (!file) return std::nullopt;
    std::string line;
    std::optional<std::string> model;
    while (std::getline(file, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const auto name = trimmed(std::string_view(line).substr(0, colon));
        const auto value = trimmed(std::string_view(line).substr(colon + 1));
        if (value.empty()) continue;
        if (name == "model name") return std::string(value);
        if (name == "Model" && !model) model = std::string(value);
    }
    return model;
}

}  // namespace

std::string_view toText(SensorNamingPlatform platform) {
    switch (platform) {
        case SensorNamingPlatform::appleM4: return "appleM4";
        case SensorNamingPlatform::appleM4ProMax: return "appleM4ProMax";
        case SensorNamingPlatform::generic: break;
    }
    return "generic";
}

SensorNamingPlatform detectSensorNamingPlatform(std::string_view cpuBrand) {
    const auto brand = trimmed(cpuBrand);
    if (brand == "Apple M4") return SensorNamingPlatform::appleM4;
    if (brand == "Apple M4 Pro" || brand == "Apple M4 Max")
        return SensorNamingPlatform::appleM4ProMax;
    return SensorNamingPlatform::generic;
}

std::optional<std::string> cpuBrandText(const std::string& root) {
    auto brand = virtualMacBrand();
    if (!brand) brand = cpuinfoBrand(root);
    if (!brand || brand->empty() || brand->size() > 255) return std::nullopt;
    return brand;
}

SensorNamingPlatform sensorNamingPlatformOf(const std::string& root) {
    const auto brand = cpuBrandText(root);
    return brand ? detectSensorNamingPlatform(*brand) : SensorNamingPlatform::generic;
}

SensorNamingPlatform currentSensorNamingPlatform() {
    static const SensorNamingPlatform platform = sensorNamingPlatformOf("/");
    return platform;
}

}  // namespace pyrelle
