#include "pyrelle/PowerOptimizationPlan.hpp"

#include "PowerCoding.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle {

namespace {

const char* const invalidDisplayMinutes = "无效的显示器休眠时间";
const char* const invalidIdleMinutes = "无效的系统休眠时间";
const char* const settingsChanged = "电源设置已变化，请刷新后重新选择措施";
const char* const lowPowerUnreadable = "此设备的系统低电量设置不可读取";
const char* const displayUnreadable = "显示器休眠设置不可读取";
const char* const idleUnreadable = "系统休眠设置不可读取";

bool oneOf(std::int64_t value, std::initializer_list<std::int64_t> allowed) {
    for (std::int64_t candidate : allowed) {
        if (value == candidate) return true;
    }
    return false;
}

}  // namespace

void PowerOptimizationPlan::validate() const {
    if (displayMinutes && !oneOf(*displayMinutes, {2, 5, 10}))
        throw ScopeError(invalidDisplayMinutes);
    if (idleMinutes && !oneOf(*idleMinutes, {5, 10, 15})) throw ScopeError(invalidIdleMinutes);
}

std::vector<PowerOptimizationPlan::Target> PowerOptimizationPlan::targets() const {
    std::vector<Target> result;
    if (lowPower) {
        if (scope == PowerScope::batteryAutomatic) {
            result.push_back({PowerSource::battery, PowerSetting::lowpowermode, 1});
            result.push_back({PowerSource::ac, PowerSetting::lowpowermode, 0});
        } else {
            result.push_back({source, PowerSetting::lowpowermode, 1});
        }
    }
    if (displayMinutes) result.push_back({source, PowerSetting::displaysleep, *displayMinutes});
    if (idleMinutes) result.push_back({source, PowerSetting::sleep, *idleMinutes});
    return result;
}

std::vector<PowerEdit> PowerOptimizationPlan::edits(const PowerConfiguration& configuration) const {
    std::vector<PowerEdit> result;
    for (const Target& target : targets()) {
        const auto current = configuration.value(target.setting, target.source);
        if (current && *current != target.value) {
            result.push_back({target.source, target.setting, *current, target.value});
        }
    }
    return result;
}

void PowerOptimizationPlan::requireReadable(const PowerConfiguration& configuration) const {
    validate();
    if (expected) {
        for (const Target& target : targets()) {
            if (expected->value(target.setting, target.source) !=
                configuration.value(target.setting, target.source)) {
                throw ScopeError(settingsChanged);
            }
        }
    }
    if (lowPower) {
        const std::vector<PowerSource> sources =
            scope == PowerScope::batteryAutomatic
                ? std::vector{PowerSource::battery, PowerSource::ac}
                : std::vector{source};
        for (PowerSource checked : sources) {
            if (!configuration.value(PowerSetting::lowpowermode, checked))
                throw ScopeError(lowPowerUnreadable);
        }
    }
    if (displayMinutes && !configuration.value(PowerSetting::displaysleep, source)) {
        throw ScopeError(displayUnreadable);
    }
    if (idleMinutes && !configuration.value(PowerSetting::sleep, source))
        throw ScopeError(idleUnreadable);
}

void to_json(nlohmann::json& json, const PowerOptimizationPlan& plan) {
    json = nlohmann::json{{"source", plan.source},
                          {"scope", plan.scope},
                          {"lowPower", plan.lowPower},
                          {"disableTurbo", plan.disableTurbo}};
    if (plan.displayMinutes) json["displayMinutes"] = *plan.displayMinutes;
    if (plan.idleMinutes) json["idleMinutes"] = *plan.idleMinutes;
    if (plan.expected) json["expected"] = *plan.expected;
}

void from_json(const nlohmann::json& json, PowerOptimizationPlan& plan) {
    using namespace powercoding;
    object(json, "PowerOptimizationPlan");
    PowerOptimizationPlan decoded;
    decoded.source = required(json, "source").get<PowerSource>();
    decoded.scope = required(json, "scope").get<PowerScope>();
    decoded.lowPower = boolean(required(json, "lowPower"), "lowPower");
    decoded.displayMinutes = optionalInteger(json, "displayMinutes");
    decoded.idleMinutes = optionalInteger(json, "idleMinutes");
    decoded.disableTurbo = boolean(required(json, "disableTurbo"), "disableTurbo");
    if (const auto* expected = optional(json, "expected"))
        decoded.expected = expected->get<PowerConfiguration>();
    plan = std::move(decoded);
}

}  // namespace pyrelle
