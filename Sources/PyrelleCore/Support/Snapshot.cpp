#include "pyrelle/Snapshot.hpp"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

namespace {

// A reading that is not a finite number counts as absent, so it can neither win nor hide a
// real reading after it.
std::optional<double> hottest(const std::vector<SensorReading>& sensors, SensorCategory category) {
    std::optional<double> result;
    for (const auto& sensor : sensors) {
        if (sensor.category() != category || !std::isfinite(sensor.celsius)) continue;
        if (!result || sensor.celsius > *result) result = sensor.celsius;
    }
    return result;
}

void putInt(nlohmann::json& json, const char* key, const std::optional<int>& value) {
    if (value) json[key] = *value;
}

std::optional<int> optionalInt(const nlohmann::json& json, const char* key) {
    if (auto v = jsondecode::optional(json, key))
        return static_cast<int>(jsondecode::integer(*v, key));
    return std::nullopt;
}

template <typename T>
std::vector<T> array(const nlohmann::json& value, const char* key) {
    if (!value.is_array()) jsondecode::fail(key, "应为数组");
    std::vector<T> result;
    result.reserve(value.size());
    for (const auto& element : value) result.push_back(element.get<T>());
    return result;
}

}  // namespace

std::optional<double> Snapshot::cpuTemperature() const {
    return hottest(sensors, SensorCategory::cpu);
}

std::optional<double> Snapshot::temperature(SensorCategory category) const {
    return hottest(sensors, category);
}

std::string Snapshot::thermalTitle() const {
    switch (thermalState) {
        case 0: return "正常";
        case 1: return "升温";
        case 2: return "较高";
        case 3: return "严重";
        default: return "未知";
    }
}

bool Snapshot::limitKnown() const {
    return speedLimit && schedulerLimit && availableCPUs;
}

bool Snapshot::limited() const {
    if (speedLimit && *speedLimit < 100) return true;
    if (schedulerLimit && *schedulerLimit < 100) return true;
    return availableCPUs && *availableCPUs < totalCPUs;
}

std::string Snapshot::limitTitle() const {
    if (limited()) return "系统正在限制性能";
    if (!limitKnown()) return "限速信息不完整";
    return "未检测到系统限速";
}

std::string Snapshot::assessment() const {
    if (limited()) {
        const bool warning = thermalWarning && (*thermalWarning == 5 || *thermalWarning == 10 ||
                                                *thermalWarning == 100 || *thermalWarning == 110);
        const bool pressure = thermalState == 2 || thermalState == 3 || warning;
        if (pressure)
            return "系统性能上限下降，同时存在热压力信号；温控可能参与了限制。无法仅凭这些指标确定"
                   "具体进程或硬件原因。";
        return "系统报告了性能限制，但没有足够的热压力证据。供电、传感器或其他平台策略仍需排查，不"
               "能据此认定为过热或挖矿。";
    }
    if (limitKnown())
        return "目前没有检测到系统上限下降。睿频禁用状态单独显示；100% 上限不代表睿频一定开启。";
    return "系统未提供完整限速数据，缺失值不能当作正常。";
}

void to_json(nlohmann::json& json, const Snapshot& s) {
    json = nlohmann::json::object();
    json["date"] = s.date;
    jsondecode::putNumber(json, "cpuUsage", s.cpuUsage);
    json["sensors"] = s.sensors;
    json["fans"] = s.fans;
    putInt(json, "speedLimit", s.speedLimit);
    putInt(json, "schedulerLimit", s.schedulerLimit);
    putInt(json, "availableCPUs", s.availableCPUs);
    json["totalCPUs"] = s.totalCPUs;
    json["thermalState"] = s.thermalState;
    putInt(json, "thermalWarning", s.thermalWarning);
    json["turbo"] = s.turbo;
    if (s.acPower) json["acPower"] = *s.acPower;
    json["lowPower"] = s.lowPower;
    json["smcAvailable"] = s.smcAvailable;
    if (s.memoryPressure) json["memoryPressure"] = *s.memoryPressure;
    if (s.additionalSensors) json["additionalSensors"] = *s.additionalSensors;
}

void from_json(const nlohmann::json& json, Snapshot& snapshot) {
    using namespace jsondecode;
    object(json, "快照");
    Snapshot s;
    s.date = required(json, "date").get<Date>();
    if (auto v = optional(json, "cpuUsage")) s.cpuUsage = number(*v, "cpuUsage");
    s.sensors = array<SensorReading>(required(json, "sensors"), "sensors");
    s.fans = array<FanReading>(required(json, "fans"), "fans");
    s.speedLimit = optionalInt(json, "speedLimit");
    s.schedulerLimit = optionalInt(json, "schedulerLimit");
    s.availableCPUs = optionalInt(json, "availableCPUs");
    s.totalCPUs = static_cast<int>(integer(required(json, "totalCPUs"), "totalCPUs"));
    s.thermalState = static_cast<int>(integer(required(json, "thermalState"), "thermalState"));
    s.thermalWarning = optionalInt(json, "thermalWarning");
    s.turbo = required(json, "turbo").get<TurboState>();
    if (auto v = optional(json, "acPower")) s.acPower = boolean(*v, "acPower");
    s.lowPower = boolean(required(json, "lowPower"), "lowPower");
    s.smcAvailable = boolean(required(json, "smcAvailable"), "smcAvailable");
    if (auto v = optional(json, "memoryPressure")) s.memoryPressure = v->get<MemoryPressure>();
    if (auto v = optional(json, "additionalSensors"))
        s.additionalSensors = array<HardwareSensorReading>(*v, "additionalSensors");
    snapshot = std::move(s);
}

nlohmann::json probeJSON(const Snapshot& snapshot) {
    nlohmann::json json = snapshot;
    json["date"] = iso8601JSON(snapshot.date);
    return json;
}

std::string encodeForProbe(const Snapshot& snapshot) {
    // nlohmann's default object keeps its keys sorted. Labels come from hardware and may hold
    // invalid UTF-8; replace such bytes rather than fail the whole document.
    return probeJSON(snapshot).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

Snapshot decodeSnapshot(std::string_view text) {
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        throw ScopeError(std::string("JSON 解码失败：") + error.what());
    }
    return json.get<Snapshot>();
}

}  // namespace pyrelle
