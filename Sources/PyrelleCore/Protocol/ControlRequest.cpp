#include "pyrelle/ControlRequest.hpp"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "../Support/JSONDecoding.hpp"
#include "TextExcerpt.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/ThermalProfile.hpp"

namespace pyrelle {

namespace {

constexpr const char* kUnknownCommand = "未知控制命令";
constexpr const char* kMissingPlan = "缺少优化方案";
constexpr const char* kMissingBackup = "缺少恢复记录";
constexpr const char* kPlanMismatch = "电源方案命令不匹配";
constexpr const char* kBackupMismatch = "恢复记录命令不匹配";
constexpr const char* kInvalidProfile = "无效模式";
constexpr const char* kMissingCurve = "缺少曲线";
constexpr const char* kInvalidDuration = "无效控制时长";
constexpr const char* kLabelTooLong = "模式名称过长";

constexpr size_t kLabelLimit = 80;  // bytes of UTF-8

// A line that is not JSON at all. The parser's own (English) detail follows in brackets,
// cut short: it quotes the bytes it last read, which may be most of a 16 KB line.
constexpr const char* kNotJSON = "JSON 解码失败：控制消息不是有效的 JSON";
constexpr size_t kDetailLimit = 160;  // bytes of the parser's detail kept in the message

std::string parserDetail(const nlohmann::json::exception& error) {
    std::string_view detail = error.what();
    // "[json.exception.parse_error.101] parse error at …": the bracketed id says nothing to a
    // reader of the reply.
    if (const auto end = detail.find("] ");
        !detail.empty() && detail.front() == '[' && end != std::string_view::npos) {
        detail.remove_prefix(end + 2);
    }
    return protocol::excerpt(detail, kDetailLimit);
}

}  // namespace

void ControlRequest::validate() const {
    if (std::find(kControlCommands.begin(), kControlCommands.end(), command) ==
        kControlCommands.end()) {
        throw ScopeError(kUnknownCommand);
    }
    if (command == "power-optimize") {
        if (!powerPlan) throw ScopeError(kMissingPlan);
        powerPlan->validate();
    }
    if (command == "power-restore") {
        if (!powerBackup) throw ScopeError(kMissingBackup);
        powerBackup->validate();
    }
    if (powerPlan && command != "power-optimize") throw ScopeError(kPlanMismatch);
    if (powerBackup && command != "power-restore") throw ScopeError(kBackupMismatch);
    if (command == "profile") {
        const bool known =
            profile && std::any_of(allThermalProfiles.begin(), allThermalProfiles.end(),
                                   [this](ThermalProfile p) {
                                       return p != ThermalProfile::automatic &&
                                              pyrelle::command(p) == *profile;
                                   });
        if (!known) throw ScopeError(kInvalidProfile);
        if (*profile == "custom") {
            if (!curve) throw ScopeError(kMissingCurve);
            curve->validate();
        }
    }
    if (duration &&
        !(std::isfinite(*duration) && *duration > 0 && *duration <= kMaximumControlSeconds)) {
        throw ScopeError(kInvalidDuration);
    }
    if (label && label->size() > kLabelLimit) throw ScopeError(kLabelTooLong);
}

void to_json(nlohmann::json& json, const ControlRequest& request) {
    json = nlohmann::json{{"command", request.command}};
    if (request.profile) json["profile"] = *request.profile;
    if (request.curve) json["curve"] = *request.curve;
    if (request.duration) json["duration"] = *request.duration;
    if (request.label) json["label"] = *request.label;
    if (request.powerPlan) json["powerPlan"] = *request.powerPlan;
    if (request.powerBackup) json["powerBackup"] = *request.powerBackup;
}

void from_json(const nlohmann::json& json, ControlRequest& request) {
    jsondecode::object(json, "控制请求");
    ControlRequest decoded;
    decoded.command = jsondecode::text(jsondecode::required(json, "command"), "command");
    if (const auto* v = jsondecode::optional(json, "profile")) {
        decoded.profile = jsondecode::text(*v, "profile");
    }
    if (const auto* v = jsondecode::optional(json, "curve")) decoded.curve = v->get<FanCurve>();
    if (const auto* v = jsondecode::optional(json, "duration")) {
        decoded.duration = jsondecode::number(*v, "duration");
    }
    if (const auto* v = jsondecode::optional(json, "label")) {
        decoded.label = jsondecode::text(*v, "label");
    }
    if (const auto* v = jsondecode::optional(json, "powerPlan")) {
        decoded.powerPlan = v->get<PowerOptimizationPlan>();
    }
    if (const auto* v = jsondecode::optional(json, "powerBackup")) {
        decoded.powerBackup = v->get<PowerBackup>();
    }
    request = std::move(decoded);
}

ControlRequest decodeControlRequest(std::string_view line) {
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception& error) {
        throw ScopeError(std::string(kNotJSON) + "（" + parserDetail(error) + "）");
    }
    try {
        return json.get<ControlRequest>();
    } catch (const ScopeError&) {
        throw;
    } catch (const nlohmann::json::exception& error) {
        throw ScopeError("JSON 解码失败：" + parserDetail(error));
    }
}

namespace FanControlPolicy {

void validate(const ControlRequest& request, bool appleSilicon) {
    request.validate();
    if (!appleSilicon) return;
    static constexpr std::array<std::string_view, 5> kAdmitted = {"hello", "status", "auto",
                                                                  "test-fans", "shutdown"};
    if (std::find(kAdmitted.begin(), kAdmitted.end(), request.command) != kAdmitted.end()) return;
    if (request.command == "profile" && request.profile == "custom") return;
    throw ScopeError(FanControlPolicy::kAppleSiliconRefusal);
}

}  // namespace FanControlPolicy
}  // namespace pyrelle
