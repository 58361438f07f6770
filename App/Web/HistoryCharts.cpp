#include "Web/HistoryCharts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "Web/Charts.hpp"

namespace kilnview::HistoryCharts {

using namespace pyrelle;
using Charts::escapeXML;

namespace {

// The narrowest window drawn, so a record of a few seconds is not stretched into a wall.
constexpr double kShortestSeconds = 60;

std::string h(std::string_view text) {
    return escapeXML(text);
}

std::string value(double number, const std::string& unit) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, std::fabs(number) >= 100 ? "%.0f %s" : "%.1f %s", number,
                  unit.c_str());
    return buffer;
}

// The window's seconds: the choice, or less when the record (since `first`) is younger.
double fittedSeconds(std::optional<Date> first, std::optional<Date> end, int minutes) {
    const double chosen = minutes * 60.0;
    if (!first || !end) return chosen;
    const double held = end->secondsSince(*first);
    return std::clamp(std::ceil(held / 60) * 60, kShortestSeconds, chosen);
}

void noteFirst(std::optional<Date>& first, const std::vector<MetricPoint>& points) {
    if (!points.empty() && (!first || points.front().date < *first)) first = points.front().date;
}

double fittedSeconds(const AppHistory& history, int minutes) {
    std::optional<Date> first;
    noteFirst(first, history.cpuTemperature);
    noteFirst(first, history.cpuUsage);
    noteFirst(first, history.power);
    for (const auto& [id, points] : history.fans) noteFirst(first, points);
    return fittedSeconds(first, history.end, minutes);
}

// "CPU: 当前 55.0 °C · 最低 40.1 °C · 最高 61.3 °C" per series, over the window.
std::string summary(const AppText& t, const std::string& id,
                    const std::vector<Charts::Series>& series,
                    const Charts::ChartOptions& options) {
    std::string html = "<ul class=\"chart-summary\" id=\"" + h(id) + "\">";
    for (const Charts::Series& each : series) {
        std::optional<double> current, lowest, highest;
        for (const MetricPoint& point : each.points) {
            const double age = options.end.secondsSince(point.date);
            if (!point.value || age < 0 || age > options.seconds) continue;
            current = *point.value;
            lowest = std::min(lowest.value_or(*point.value), *point.value);
            highest = std::max(highest.value_or(*point.value), *point.value);
        }
        // The swatch makes the list the legend too, at text size where the drawing's is tiny.
        html +=
            "<li><svg class=\"swatch\" viewBox=\"0 0 10 10\" aria-hidden=\"true\"><rect "
            "width=\"10\" height=\"10\" rx=\"2\" fill=\"" +
            h(each.color) + "\"/></svg>" + h(each.name) + ": ";
        html += current ? h(t("当前")) + " " + h(value(*current, options.unit)) + " · " +
                              h(t("最低")) + " " + h(value(*lowest, options.unit)) + " · " +
                              h(t("最高")) + " " + h(value(*highest, options.unit))
                        : h(t("暂无数据"));
        html += "</li>";
    }
    return html + "</ul>";
}

std::string figure(const AppText& t, const std::string& id, const std::string& chart,
                   const std::vector<Charts::Series>& series, const Charts::ChartOptions& options) {
    return "<figure class=\"history-chart\" id=\"chart-" + h(id) + "\"><figcaption><h2>" +
           h(options.title) + "</h2></figcaption>" + chart +
           "<p class=\"readout\" aria-live=\"polite\"></p>" +
           summary(t, options.summaryId, series, options) + "</figure>";
}

}  // namespace

int window(const std::string& parameter) {
    for (int minutes : kWindows)
        if (parameter == std::to_string(minutes)) return minutes;
    return kWindows[0];
}

std::string charts(const AppText& t, const AppHistory& history, int minutes) {
    if (!history.end) return "<p class=\"note\">" + h(t("等待状态数据")) + "</p>";
    Charts::ChartOptions options;
    options.end = *history.end;
    options.seconds = fittedSeconds(history, minutes);
    options.emptyText = t("暂无数据");
    options.axisTitle = t("分钟前");
    options.gapText = t("记录中断");
    std::string html;

    options.title = t("温度");
    options.unit = "°C";
    options.summaryId = "summary-temperature";
    std::vector<Charts::Series> temperatures{{"CPU", "#d9480f", history.cpuTemperature},
                                             {"GPU", "#1971c2", history.gpuTemperature}};
    html +=
        figure(t, "temperature", Charts::lineChart(temperatures, options), temperatures, options);

    options.title = t("CPU 负载");
    options.unit = "%";
    options.automaticScale = false;
    options.baseline = 0;
    options.upper = 100;
    options.summaryId = "summary-load";
    std::vector<Charts::Series> load{{options.title, "#2b8a3e", history.cpuUsage}};
    html += figure(t, "load", Charts::loadBandChart(history.cpuUsage, options), load, options);
    html += "<p class=\"legend\"><span class=\"band-normal\">" + h(t("正常")) +
            "</span> <span class=\"band-elevated\">" + h(t("偏高")) +
            "</span> <span class=\"band-critical\">" + h(t("持续高负载")) + "</span></p>";

    options.title = t("风扇转速");
    options.unit = "RPM";
    options.automaticScale = true;
    options.summaryId = "summary-fans";
    std::vector<Charts::Series> fans;
    static const char* colors[] = {"#2b8a3e", "#862e9c", "#e67700", "#0b7285"};
    for (const auto& [id, points] : history.fans)
        fans.push_back({t("风扇") + " " + std::to_string(id), colors[id % 4], points});
    html += figure(t, "fans", Charts::lineChart(fans, options), fans, options);

    options.title = t("整机功耗");
    options.unit = "W";
    options.summaryId = "summary-power";
    std::vector<Charts::Series> power{{options.title, "#5f3dc4", history.power}};
    html += figure(t, "power", Charts::lineChart(power, options), power, options);
    return html;
}

std::string section(const AppText& t, const AppHistory& history, int minutes) {
    std::string html = "<div class=\"windows\" role=\"group\" aria-label=\"" + h(t("范围")) + "\">";
    for (int choice : {5, 15, 30}) {
        html += "<a class=\"window\" href=\"?minutes=" + std::to_string(choice) +
                "\" data-minutes=\"" + std::to_string(choice) + "\"" +
                (choice == minutes ? " aria-current=\"true\"" : "") + ">" + std::to_string(choice) +
                " " + h(t("分钟")) + "</a>";
    }
    html += "</div><p class=\"chart-clock note\"></p>";
    return html + "<div id=\"history-charts\" data-minutes=\"" + std::to_string(minutes) + "\">" +
           charts(t, history, minutes) + "</div>";
}

nlohmann::json sparklines(const AppHistory& history) {
    nlohmann::json lines = nlohmann::json::object();
    if (!history.end) return lines;
    Charts::ChartOptions options;
    options.end = *history.end;
    options.seconds = fittedSeconds(history, 5);
    options.budget = 60;
    lines["cpuTemperature"] = Charts::sparkline(history.cpuTemperature, options);
    lines["gpuTemperature"] = Charts::sparkline(history.gpuTemperature, options);
    for (const auto& [id, points] : history.common)
        lines["sensor-" + id] = Charts::sparkline(points, options);
    options.automaticScale = false;
    lines["cpuUsage"] = Charts::sparkline(history.cpuUsage, options);
    return lines;
}

nlohmann::json sensorSparklines(const std::map<std::string, std::vector<MetricPoint>>& trails,
                                const std::optional<Date>& end) {
    nlohmann::json lines = nlohmann::json::object();
    if (!end) return lines;
    std::optional<Date> first;
    for (const auto& entry : trails) noteFirst(first, entry.second);
    Charts::ChartOptions options;
    options.end = *end;
    options.seconds = fittedSeconds(first, end, 5);
    options.budget = 60;
    for (const auto& [id, points] : trails) lines["key-" + id] = Charts::sparkline(points, options);
    return lines;
}

}  // namespace kilnview::HistoryCharts
