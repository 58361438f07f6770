#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/FanCurve.hpp"
#include "pyrelle/PowerBackup.hpp"
#include "pyrelle/PowerOptimizationPlan.hpp"

namespace pyrelle {

// The command words of the control protocol, in protocol order.
inline constexpr std::array<std::string_view, 10> kControlCommands = {
    "hello",        "status",    "profile",  "auto",           "turbo-disable",
    "turbo-enable", "test-fans", "shutdown", "power-optimize", "power-restore"};

// The longest lease a request may ask for, in seconds.
inline constexpr double kMaximumControlSeconds = 1800;

// One request of the desktop application to a `serve` helper, one compact JSON line.
struct ControlRequest {
    std::string command;
    std::optional<std::string> profile;  // a thermal profile's command word, e.g. "custom"
    std::optional<FanCurve> curve;
    std::optional<double> duration;  // seconds
    std::optional<std::string> label;
    std::optional<PowerOptimizationPlan> powerPlan;
    std::optional<PowerBackup> powerBackup;

    // Throws ScopeError with the first problem: unknown command, missing or mismatched power
    // records, invalid profile or curve, duration outside (0, 1800], label over 80 UTF-8 bytes.
    void validate() const;

    friend bool operator==(const ControlRequest&, const ControlRequest&) = default;
};

void to_json(nlohmann::json& json, const ControlRequest& request);
// `command` is required; unknown keys are ignored. Throws ScopeError describing the problem.
void from_json(const nlohmann::json& json, ControlRequest& request);

// Decodes one request line. A line that is not JSON throws ScopeError
// "JSON 解码失败：控制消息不是有效的 JSON（<the parser's detail, cut short>）"; the message never
// quotes more than a short excerpt of the line.
ControlRequest decodeControlRequest(std::string_view line);

// The gate of the control session.
namespace FanControlPolicy {

// The answer to every power or turbo command on Apple Silicon.
inline constexpr const char* kAppleSiliconRefusal =
    "Apple Silicon 当前仅支持独立风扇控制，不支持 Intel 睿频或电源设置控制";

// Validates `request`, then (on Apple Silicon) admits only "hello", "status", "auto",
// "test-fans", "shutdown" and "profile" with profile "custom".
void validate(const ControlRequest& request, bool appleSilicon);

}  // namespace FanControlPolicy
}  // namespace pyrelle
