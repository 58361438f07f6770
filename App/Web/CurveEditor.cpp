#include "Web/CurveEditor.hpp"

#include <cmath>
#include <cstdio>

#include "Web/Charts.hpp"
#include "Web/Wording.hpp"
#include "Web/RequestGuard.hpp"
#include "pyrelle/ChartCoordinates.hpp"
#include "pyrelle/CurvePolicy.hpp"
#include "pyrelle/CurveSensor.hpp"
#include "pyrelle/FanCurve.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/ThermalProfile.hpp"

namespace kilnview::CurveEditor {

using namespace pyrelle;
using Charts::escapeXML;

namespace {

// The graph: temperature (°C) across, percent of each fan's range up.
constexpr double kWidth = 480, kHeight = 280;
constexpr ChartRect kFrame{52, 14, 360, 226};
constexpr ClosedRange kTemperatures{30, 100};
constexpr ClosedRange kPercents{0, 100};
constexpr CurveSensor kSensors[] = {CurveSensor::hottest, CurveSensor::cpu, CurveSensor::gpu};

using Charts::num;

std::string plain(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

std::string h(std::string_view text) {
    return escapeXML(text);
}

const ChartCoordinates& graph() {
    static const ChartCoordinates coordinates{kFrame, kTemperatures, kPercents};
    return coordinates;
}

std::string polyline(const FanCurve& curve) {
    std::string points;
    for (const CurvePoint& point : curve.points) {
        const ChartPoint at = graph().position(point.temperature, point.percent);
        if (!points.empty()) points += ' ';
        points += num(at.x) + "," + num(at.y);
    }
    return points;
}

// The fixed drawing: grid, ticks, axis titles and the first fan's rpm at both ends.
std::string axes(const AppText& t, const AppView& view) {
    std::string svg;
    for (double tick : ChartCoordinates::ticks(kPercents, 5)) {
        const ChartPoint at = graph().position(kTemperatures.lower, tick);
        svg += "<line class=\"grid\" x1=\"" + num(kFrame.minX()) + "\" x2=\"" + num(kFrame.maxX()) +
               "\" y1=\"" + num(at.y) + "\" y2=\"" + num(at.y) + "\"/><text class=\"tick\" x=\"" +
               num(kFrame.minX() - 6) + "\" y=\"" + num(at.y + 4) + "\" text-anchor=\"end\">" +
               plain(tick) + "</text>";
    }
    for (double tick : ChartCoordinates::ticks(kTemperatures, 7)) {
        const ChartPoint at = graph().position(tick, kPercents.lower);
        svg += "<line class=\"grid\" x1=\"" + num(at.x) + "\" x2=\"" + num(at.x) + "\" y1=\"" +
               num(kFrame.minY()) + "\" y2=\"" + num(kFrame.maxY()) +
               "\"/><text class=\"tick\" x=\"" + num(at.x) + "\" y=\"" + num(kFrame.maxY() + 14) +
               "\" text-anchor=\"middle\">" + plain(tick) + "</text>";
    }
    svg += "<text class=\"unit\" x=\"" + num(kFrame.minX() + kFrame.width / 2) + "\" y=\"" +
           num(kHeight - 6) + "\" text-anchor=\"middle\">" + h(t("温度")) + " (°C)</text>";
    svg += "<text class=\"unit\" x=\"12\" y=\"" + num(kFrame.minY() + kFrame.height / 2) +
           "\" text-anchor=\"middle\" transform=\"rotate(-90 12 " +
           num(kFrame.minY() + kFrame.height / 2) + ")\">" + h(t("风扇")) + " (%)</text>";
    if (view.latest && !view.latest->fans.empty()) {
        const FanReading& fan = view.latest->fans.front();
        if (fan.minimum && fan.maximum) {
            const double x = kFrame.maxX() + 6;
            svg += "<text class=\"tick rpm\" x=\"" + num(x) + "\" y=\"" + num(kFrame.maxY()) +
                   "\">" + h(Wording::rpm(*fan.minimum)) + "</text><text class=\"tick rpm\" x=\"" +
                   num(x) + "\" y=\"" + num(kFrame.minY() + 8) + "\">" +
                   h(Wording::rpm(*fan.maximum)) + "</text>";
        }
    }
    return svg + "<rect class=\"frame\" x=\"" + num(kFrame.x) + "\" y=\"" + num(kFrame.y) +
           "\" width=\"" + num(kFrame.width) + "\" height=\"" + num(kFrame.height) + "\"/>";
}

std::string pointRow(const AppText& t, std::size_t index, const CurvePoint& point) {
    const std::string n = std::to_string(index + 1);
    const std::string name = t("控制点") + " " + n;
    return "<tr><th scope=\"row\">" + n +
           "</th><td><input type=\"number\" class=\"point-temperature\" " + "step=\"1\" min=\"" +
           plain(kTemperatures.lower) + "\" max=\"" + plain(kTemperatures.upper) +
           "\" aria-label=\"" + h(name + " · " + t("温度")) + " (°C)\" value=\"" +
           plain(point.temperature) +
           "\"></td><td><input type=\"number\" class=\"point-percent\" step=\"1\" min=\"0\" "
           "max=\"100\" aria-label=\"" +
           h(name + " · " + t("风扇")) + " (%)\" value=\"" + plain(point.percent) +
           "\"></td><td><button type=\"button\" class=\"point-remove\" aria-label=\"" +
           h(t("删除") + " · " + name) + "\">×</button></td><td class=\"point-note\"></td></tr>";
}

}  // namespace

void RunningCurve::started(const ControlRequest& request) {
    std::lock_guard<std::mutex> guard(lock_);
    request_ = request;
}

void RunningCurve::forget() {
    std::lock_guard<std::mutex> guard(lock_);
    request_.reset();
}

std::optional<ControlRequest> RunningCurve::current(const ControlView& control) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!control.remainingSeconds) request_.reset();
    return request_;
}

std::string section(const AppText& t, const AppView& view,
                    const std::optional<ControlRequest>& running) {
    const FanCurve initial =
        running && running->curve ? *running->curve : pyrelle::curve(ThermalProfile::balanced);
    // The texts the script writes itself.
    const nlohmann::json texts = {{"point", t("控制点")},
                                  {"temperature", t("温度")},
                                  {"fan", t("风扇")},
                                  {"remove", t("删除")}};
    std::string html = "<section id=\"curve-editor\" class=\"curve\" data-frame=\"" +
                       num(kFrame.x) + " " + num(kFrame.y) + " " + num(kFrame.width) + " " +
                       num(kFrame.height) + "\" data-domain=\"" + plain(kTemperatures.lower) + " " +
                       plain(kTemperatures.upper) + " 0 100\" data-texts=\"" + h(texts.dump()) +
                       "\">";
    html += "<h2>" + h(t("自定义曲线")) + "</h2>";
    html += "<p id=\"curve-running\" class=\"running-note\"" +
            std::string(running ? "" : " hidden") + ">" + h(t("正在运行的曲线")) + ": <strong>" +
            h(running && running->label ? *running->label : t("自定义曲线")) + "</strong> · " +
            h(t("剩余时间")) + ": <span data-live=\"leaseRemaining\">" +
            h(Wording::remaining(view.control, t)) + "</span></p>";
    html +=
        "<div class=\"curve-controls\"><label>" + h(t("预设")) + " <select id=\"curve-preset\">";
    for (ThermalProfile profile :
         {ThermalProfile::balanced, ThermalProfile::performance, ThermalProfile::quiet}) {
        const FanCurve curve = pyrelle::curve(profile);
        html += "<option value=\"" + std::string(command(profile)) + "\" data-curve=\"" +
                h(nlohmann::json(curve).dump()) + "\">" + h(t(toText(profile))) + "</option>";
    }
    html += "</select></label><label>" + h(t("驱动传感器")) + " <select id=\"curve-sensor\">";
    for (CurveSensor sensor : kSensors) {
        // The value names the option; the sensor's identity (its text) rides in data-sensor.
        html += "<option value=\"" + std::to_string(static_cast<int>(sensor)) +
                "\" data-sensor=\"" + h(toText(sensor)) + "\"" +
                (sensor == initial.sensor ? " selected" : "") + ">" + h(t(toText(sensor))) +
                "</option>";
    }
    html += "</select></label></div><div class=\"curve-body\">";
    html += "<svg id=\"curve-graph\" class=\"chart curve-graph\" viewBox=\"0 0 " + num(kWidth) +
            " " + num(kHeight) + "\" role=\"img\" aria-label=\"" + h(t("自定义曲线")) +
            "\" xmlns=\"http://www.w3.org/2000/svg\">" + axes(t, view);
    if (running && running->curve) {
        html += "<polyline id=\"curve-running-line\" class=\"running\" fill=\"none\" points=\"" +
                polyline(*running->curve) + "\"/>";
    }
    html += "<line id=\"curve-now\" class=\"now\" x1=\"0\" x2=\"0\" y1=\"" + num(kFrame.minY()) +
            "\" y2=\"" + num(kFrame.maxY()) + "\" visibility=\"hidden\"/>";
    html += "<polyline id=\"curve-line\" class=\"series\" fill=\"none\" points=\"" +
            polyline(initial) + "\"/><g id=\"curve-handles\">";
    for (std::size_t i = 0; i < initial.points.size(); ++i) {
        const ChartPoint at =
            graph().position(initial.points[i].temperature, initial.points[i].percent);
        html += "<circle class=\"handle\" r=\"7\" cx=\"" + num(at.x) + "\" cy=\"" + num(at.y) +
                "\" data-index=\"" + std::to_string(i) + "\"/>";
    }
    html += "</g><g id=\"curve-fans\"></g></svg>";
    html += "<div class=\"curve-side\"><table id=\"curve-points\" class=\"points\" data-sensor=\"" +
            h(toText(initial.sensor)) + "\"><caption>" + h(t("控制点")) +
            "</caption><thead><tr><th>#</th><th>" + h(t("温度")) + " (°C)</th><th>" + h(t("风扇")) +
            " (%)</th><th><span class=\"visually-hidden\">" + h(t("删除")) +
            "</span></th><th><span class=\"visually-hidden\">" + h(t("说明")) +
            "</span></th></tr></thead><tbody>";
    for (std::size_t i = 0; i < initial.points.size(); ++i)
        html += pointRow(t, i, initial.points[i]);
    html += "</tbody></table><button id=\"curve-add\" type=\"button\">" + h(t("添加控制点")) +
            "</button>";
    html += "<p class=\"legend\"><span class=\"now-key\">" + h(t("当前温度")) +
            "</span> <span class=\"fan-key\">" + h(t("风扇当前位置")) + "</span>";
    if (running) html += " <span class=\"running-key\">" + h(t("正在运行的曲线")) + "</span>";
    html += "</p></div></div>";
    html += "<p id=\"curve-problem\" class=\"failure\" role=\"alert\"></p>";
    // What may be entered, in the core's own words, and each fan's rated range.
    html += "<details class=\"rules\"><summary>" + h(t("允许范围")) + "</summary><ul>";
    for (const char* rule : FanCurve::rules()) html += "<li>" + h(t(rule)) + "</li>";
    html += "<li>" + h(t("时长（秒）")) + ": 1–" + plain(kMaximumControlSeconds) + "</li><li>" +
            h(t("0% 为风扇最低转速，100% 为最高转速")) + "</li>";
    if (view.latest) {
        for (const FanReading& fan : view.latest->fans) {
            html += "<li>" + h(t("风扇")) + " " + std::to_string(fan.id) + ": " +
                    h(Wording::rpm(fan.minimum)) + " – " + h(Wording::rpm(fan.maximum)) + "</li>";
        }
    }
    html += "</ul></details>";
    html += "<div class=\"curve-controls\"><label>" + h(t("时长（秒）")) +
            " <input id=\"curve-duration\" type=\"number\" min=\"1\" max=\"" +
            plain(kMaximumControlSeconds) + "\" value=\"600\"></label><label>" + h(t("名称")) +
            " <input id=\"curve-label\" type=\"text\" maxlength=\"80\" value=\"\"></label>"
            "<button id=\"curve-start\" type=\"button\">" +
            h(t("启动曲线")) + "</button></div></section>";
    return html;
}

nlohmann::json check(std::string_view body, const AppText& t) {
    try {
        RequestGuard::curveRequest(body);
        return {{"ok", true}};
    } catch (const ScopeError& error) {
        nlohmann::json answer = {
            {"ok", false}, {"message", t(error.what())}, {"point", nullptr}, {"field", "request"}};
        const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
        if (!json.is_object()) return answer;
        try {
            const FanCurve curve = json.at("curve").get<FanCurve>();
            if (const auto problem = curve.problem();
                problem && error.what() == std::string_view(problem->message)) {
                answer["field"] = "curve";
                if (problem->point) answer["point"] = *problem->point;
                return answer;
            }
        } catch (const std::exception&) {
            answer["field"] = "curve";  // the curve itself is malformed
            return answer;
        }
        if (json.contains("durationSeconds")) {
            const nlohmann::json& duration = json["durationSeconds"];
            if (!duration.is_number() ||
                !(duration.get<double>() > 0 && duration.get<double>() <= kMaximumControlSeconds))
                answer["field"] = "duration";
        }
        return answer;
    }
}

nlohmann::json live(const AppView& view) {
    nlohmann::json temperatures = nlohmann::json::object();
    nlohmann::json fans = nlohmann::json::array();
    if (view.latest) {
        for (CurveSensor sensor : kSensors) {
            const auto value = temperature(sensor, *view.latest);
            temperatures[std::string(toText(sensor))] =
                value ? nlohmann::json(*value) : nlohmann::json(nullptr);
        }
        for (const FanReading& fan : view.latest->fans) {
            if (!fan.rpm || !fan.minimum || !fan.maximum) continue;
            fans.push_back(
                {{"id", fan.id},
                 {"percent", CurvePolicy::percent(*fan.rpm, *fan.minimum, *fan.maximum)}});
        }
    }
    return {{"temperatures", temperatures}, {"fans", fans}};
}

}  // namespace kilnview::CurveEditor
