#include "pyrelle/FanCurve.hpp"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "../Support/JSONDecoding.hpp"
#include "pyrelle/FanControlMessages.hpp"
#include "pyrelle/CurvePolicy.hpp"
#include "pyrelle/FanTarget.hpp"

namespace pyrelle {

namespace messages = fancontrol::messages;

// --- CurvePoint -------------------------------------------------------------------------------

void to_json(nlohmann::json& json, const CurvePoint& point) {
    json = nlohmann::json{{"temperature", point.temperature}, {"percent", point.percent}};
}

void from_json(const nlohmann::json& json, CurvePoint& point) {
    jsondecode::object(json, "曲线控制点");
    point.temperature =
        jsondecode::number(jsondecode::required(json, "temperature"), "temperature");
    point.percent = jsondecode::number(jsondecode::required(json, "percent"), "percent");
}

// --- CurveSensor ------------------------------------------------------------------------------

std::string_view toText(CurveSensor sensor) {
    switch (sensor) {
        case CurveSensor::cpu: return "CPU";
        case CurveSensor::gpu: return "GPU";
        case CurveSensor::hottest: return "CPU / GPU 较高温";
    }
    return "CPU / GPU 较高温";
}

std::optional<CurveSensor> parseCurveSensor(std::string_view text) {
    for (auto sensor : {CurveSensor::cpu, CurveSensor::gpu, CurveSensor::hottest}) {
        if (toText(sensor) == text) return sensor;
    }
    return std::nullopt;
}

std::optional<double> temperature(CurveSensor sensor, const Snapshot& snapshot) {
    switch (sensor) {
        case CurveSensor::cpu: return snapshot.cpuTemperature();
        case CurveSensor::gpu: return snapshot.temperature(SensorCategory::gpu);
        case CurveSensor::hottest: {
            const auto cpu = snapshot.cpuTemperature();
            const auto gpu = snapshot.temperature(SensorCategory::gpu);
            if (cpu && gpu) return std::max(*cpu, *gpu);
            return cpu ? cpu : gpu;
        }
    }
    return std::nullopt;
}

// --- FanCurve ---------------------------------------------------------------------------------

std::optional<CurveProblem> FanCurve::problem() const {
    if (points.size() < 2 || points.size() > 8) return CurveProblem{messages::kPointCount, {}};
    auto inRange = [](const CurvePoint& p) {
        return std::isfinite(p.temperature) && std::isfinite(p.percent) && p.temperature >= 30 &&
               p.temperature <= 100 && p.percent >= 0 && p.percent <= 100;
    };
    for (size_t i = 0; i < points.size(); ++i) {
        if (!inRange(points[i])) return CurveProblem{messages::kPointRange, i};
        if (i > 0 && (points[i].temperature < points[i - 1].temperature + 2 ||
                      points[i].percent < points[i - 1].percent)) {
            return CurveProblem{messages::kPointOrder, i};
        }
    }
    const CurvePoint& last = points.back();
    if (last.temperature > 90 || last.percent != 100)
        return CurveProblem{messages::kLastPoint, points.size() - 1};
    return std::nullopt;
}

std::vector<const char*> FanCurve::rules() {
    return {messages::kPointCount, messages::kPointRange, messages::kPointOrder,
            messages::kLastPoint};
}

void FanCurve::validate() const {
    if (const auto found = problem()) throw ScopeError(found->message);
}

double FanCurve::percent(double t) const {
    if (points.empty() || !std::isfinite(t)) return 100;
    if (t <= points.front().temperature) return points.front().percent;
    if (t >= points.back().temperature) return points.back().percent;
    for (size_t i = 1; i < points.size(); ++i) {
        if (points[i].temperature >= t) {
            const CurvePoint& a = points[i - 1];
            const CurvePoint& b = points[i];
            return a.percent +
                   (b.percent - a.percent) * (t - a.temperature) / (b.temperature - a.temperature);
        }
    }
    return points.back().percent;
}

FanCurve FanCurve::balanced() {
    return {{{40, 10}, {55, 25}, {70, 55}, {80, 80}, {90, 100}}, CurveSensor::hottest};
}

FanCurve FanCurve::performance() {
    return {{{40, 30}, {55, 50}, {65, 75}, {75, 95}, {85, 100}}, CurveSensor::hottest};
}

FanCurve FanCurve::quiet() {
    return {{{40, 0}, {55, 8}, {70, 25}, {80, 60}, {90, 100}}, CurveSensor::hottest};
}

FanCurve FanCurve::manual(double percent) {
    const double p = std::isfinite(percent) ? std::clamp(percent, 0.0, 100.0) : 100.0;
    return {{{30, p}, {80, p}}, CurveSensor::hottest};
}

void to_json(nlohmann::json& json, const FanCurve& curve) {
    json = nlohmann::json{{"points", curve.points}, {"sensor", toText(curve.sensor)}};
}

void from_json(const nlohmann::json& json, FanCurve& curve) {
    jsondecode::object(json, "风扇曲线");
    const auto& points = jsondecode::required(json, "points");
    if (!points.is_array()) jsondecode::fail("points", "应为数组");
    const auto& sensorValue = jsondecode::required(json, "sensor");
    const auto sensor = parseCurveSensor(jsondecode::text(sensorValue, "sensor"));
    if (!sensor) jsondecode::fail("sensor", "不是已知的传感器");
    FanCurve decoded;
    decoded.sensor = *sensor;
    decoded.points.reserve(std::min<size_t>(points.size(), 64));
    for (const auto& point : points) decoded.points.push_back(point.get<CurvePoint>());
    curve = std::move(decoded);
}

FanCurve decodeFanCurve(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) throw ScopeError("JSON 解码失败：数据不是有效的 JSON");
    return json.get<FanCurve>();
}

// --- FanTarget --------------------------------------------------------------------------------

void to_json(nlohmann::json& json, const FanTarget& target) {
    json = nlohmann::json{{"id", target.id}, {"rpm", target.rpm}};
}

void from_json(const nlohmann::json& json, FanTarget& target) {
    jsondecode::object(json, "风扇目标");
    target.id = static_cast<int>(jsondecode::integer(jsondecode::required(json, "id"), "id"));
    target.rpm = jsondecode::number(jsondecode::required(json, "rpm"), "rpm");
}

}  // namespace pyrelle
