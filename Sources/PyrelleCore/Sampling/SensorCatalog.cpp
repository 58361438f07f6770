#include "pyrelle/SensorCatalog.hpp"

#include <algorithm>
#include <array>

namespace pyrelle::SensorCatalog {

namespace {

using namespace std::string_view_literals;

constexpr std::array kM4CPU = {"Te05"sv, "Te0S"sv, "Te09"sv, "Te0H"sv, "Tp01"sv, "Tp05"sv,
                               "Tp09"sv, "Tp0D"sv, "Tp0V"sv, "Tp0Y"sv, "Tp0b"sv, "Tp0e"sv};
constexpr std::array kM4GPUShared = {"Tg0K"sv, "Tg0L"sv, "Tg0d"sv, "Tg0e"sv, "Tg0j"sv, "Tg0k"sv};
constexpr std::array kM4GPU = {"Tg0G"sv, "Tg0H"sv};
constexpr std::array kM4ProMaxGPU = {"Tg1U"sv, "Tg1k"sv};
constexpr std::array kM4Memory = {"Tm0p"sv, "Tm1p"sv, "Tm2p"sv};

constexpr const char* kFanExplanation = "风扇每分钟实际转动的次数，转速越高通常噪声也越大。";

bool contains(std::span<const std::string_view> keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

SensorMeaning cpuProbe() {
    return {SensorComponent::cpu, "处理器温度探头",
            "反映处理器内部或附近位置的温度。多个探头不代表多个核心。"};
}

SensorMeaning gpuProbe() {
    return {SensorComponent::gpu, "图形处理器温度探头", "反映图形处理器相关位置的温度。"};
}

std::optional<SensorMeaning> temperatureMeaning(std::string_view key,
                                                SensorNamingPlatform platform) {
    if (key.starts_with("TC")) return cpuProbe();
    if (key.starts_with("TG")) return gpuProbe();
    if (key.starts_with("TH"))
        return SensorMeaning{SensorComponent::storage, "存储温度探头",
                             "反映固态硬盘或存储相关位置的温度。"};
    if (key.starts_with("TB"))
        return SensorMeaning{SensorComponent::battery, "电池温度探头", "反映电池相关位置的温度。"};
    if (key == "TW0P")
        return SensorMeaning{SensorComponent::wireless, "无线模块温度",
                             "反映无线网络模块附近的温度。"};
    if (platform == SensorNamingPlatform::generic) return std::nullopt;
    if (contains(kM4CPU, key)) return cpuProbe();
    if (contains(kM4GPUShared, key) || contains(gpuTemperatureKeys(platform), key))
        return gpuProbe();
    if (contains(kM4Memory, key))
        return SensorMeaning{SensorComponent::memory, "内存附近温度探头",
                             "反映内存附近的温度，并非内存使用率。"};
    return std::nullopt;
}

std::optional<SensorMeaning> powerMeaning(std::string_view key) {
    if (key == "PSTR")
        return SensorMeaning{SensorComponent::power, "整机功耗",
                             "设备内部报告的总功率，单位为瓦；不等同于插座功耗。"};
    if (key == "PDTR")
        return SensorMeaning{SensorComponent::power, "直流输入功耗",
                             "设备直流输入侧的功率，单位为瓦；不等同于插座功耗。"};
    if (key == "PCPC" || key == "PCPT" || key == "PCTR" || key == "PCPR")
        return SensorMeaning{SensorComponent::cpu, "处理器功耗",
                             "处理器相关电路报告的瞬时功率，单位为瓦。"};
    if (key == "PG0C" || key == "PG0R" || key == "PG1R")
        return SensorMeaning{SensorComponent::gpu, "图形处理器功耗",
                             "图形处理器相关电路报告的瞬时功率，单位为瓦。"};
    if (key == "PMTR")
        return SensorMeaning{SensorComponent::memory, "内存功耗",
                             "内存相关电路报告的瞬时功率，单位为瓦。"};
    return std::nullopt;
}

struct CommonTemperature {
    SensorComponent component;
    const char* title;
    const char* explanation;
};

constexpr CommonTemperature kCommonTemperatures[] = {
    {SensorComponent::cpu, "处理器温度", "反映处理器运行时的发热情况。"},
    {SensorComponent::gpu, "图形处理器温度", "反映图形处理器运行时的发热情况。"},
    {SensorComponent::memory, "内存附近温度", "内存附近位置的温度，不代表内存占用。"},
    {SensorComponent::storage, "存储温度", "反映固态硬盘等存储部件的温度。"},
};

}  // namespace

std::span<const std::string_view> m4CPUTemperatureKeys() {
    return kM4CPU;
}
std::span<const std::string_view> m4SharedGPUTemperatureKeys() {
    return kM4GPUShared;
}
std::span<const std::string_view> m4MemoryTemperatureKeys() {
    return kM4Memory;
}

std::span<const std::string_view> gpuTemperatureKeys(SensorNamingPlatform platform) {
    switch (platform) {
        case SensorNamingPlatform::appleM4: return kM4GPU;
        case SensorNamingPlatform::appleM4ProMax: return kM4ProMaxGPU;
        case SensorNamingPlatform::generic: break;
    }
    return {};
}

std::optional<SensorMeaning> meaning(const HardwareSensorReading& reading,
                                     SensorNamingPlatform platform) {
    switch (reading.kind) {
        case HardwareSensorKind::fan:
            return SensorMeaning{SensorComponent::fan, "风扇转速", kFanExplanation};
        case HardwareSensorKind::temperature: return temperatureMeaning(reading.key, platform);
        case HardwareSensorKind::power: return powerMeaning(reading.key);
        case HardwareSensorKind::voltage:
            if (reading.key == "VD0R")
                return SensorMeaning{SensorComponent::power, "直流输入电压",
                                     "设备直流输入侧的电压，单位为伏。"};
            return std::nullopt;
        case HardwareSensorKind::current:
            if (reading.key == "ID0R")
                return SensorMeaning{SensorComponent::power, "直流输入电流",
                                     "设备直流输入侧的电流，单位为安。"};
            return std::nullopt;
    }
    return std::nullopt;
}

std::vector<CommonSensorReading> common(std::span<const HardwareSensorReading> readings,
                                        SensorNamingPlatform platform) {
    std::vector<CommonSensorReading> result;

    for (const auto& entry : kCommonTemperatures) {
        CommonSensorReading common{
            std::string(toText(entry.component)), entry.title,  entry.explanation,
            HardwareSensorKind::temperature,      std::nullopt, {}};
        for (const auto& reading : readings) {
            if (reading.kind != HardwareSensorKind::temperature) continue;
            const auto found = meaning(reading, platform);
            if (!found || found->component != entry.component) continue;
            common.sources.push_back(reading.key);
            if (reading.value && (!common.value || *reading.value > *common.value))
                common.value = reading.value;
        }
        if (!common.sources.empty()) result.push_back(std::move(common));
    }

    for (const auto& reading : readings) {
        if (reading.kind != HardwareSensorKind::fan) continue;
        result.push_back({reading.id(),
                          reading.label,
                          kFanExplanation,
                          HardwareSensorKind::fan,
                          reading.value,
                          {reading.key}});
    }

    // Whole-machine power: the internal total, else the DC input; a valued candidate first.
    std::vector<const HardwareSensorReading*> candidates;
    for (const char* key : {"PSTR", "PDTR"})
        for (const auto& reading : readings)
            if (reading.kind == HardwareSensorKind::power && reading.key == key)
                candidates.push_back(&reading);
    if (!candidates.empty()) {
        const HardwareSensorReading* chosen = candidates.front();
        for (const auto* candidate : candidates)
            if (candidate->value) {
                chosen = candidate;
                break;
            }
        if (const auto found = meaning(*chosen, platform))
            result.push_back({chosen->id(),
                              found->title,
                              found->explanation,
                              HardwareSensorKind::power,
                              chosen->value,
                              {chosen->key}});
    }
    return result;
}

}  // namespace pyrelle::SensorCatalog
