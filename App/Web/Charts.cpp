#include "Web/Charts.hpp"

#include <cmath>
#include <cstdio>

#include "pyrelle/ChartCoordinates.hpp"
#include "pyrelle/MetricPlot.hpp"

namespace kilnview::Charts {

using namespace pyrelle;

namespace {

constexpr double kWidth = 640, kHeight = 232;
constexpr ChartRect kFrame{48, 16, 576, 160};

std::string tickLabel(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer,
                  std::fabs(value) >= 100 || value == std::floor(value) ? "%.0f" : "%.1f", value);
    return buffer;
}

// The frame, the horizontal grid with value ticks and the time axis (minutes before the end).
std::string axes(const ChartCoordinates& chart, const ChartOptions& options) {
    std::string svg;
    for (double tick : ChartCoordinates::ticks(chart.yRange, 4)) {
        const ChartPoint at = chart.position(chart.xRange.lower, tick);
        svg += "<line class=\"grid\" x1=\"" + num(kFrame.minX()) + "\" x2=\"" + num(kFrame.maxX()) +
               "\" y1=\"" + num(at.y) + "\" y2=\"" + num(at.y) + "\"/>";
        svg += "<text class=\"tick\" x=\"" + num(kFrame.minX() - 6) + "\" y=\"" + num(at.y + 4) +
               "\" text-anchor=\"end\">" + tickLabel(tick) + "</text>";
    }
    // Minutes before the end, counted positive ("5" is five minutes ago).
    for (double minutes : ChartCoordinates::ticks({-options.seconds / 60, 0}, 6)) {
        const ChartPoint at = chart.position(minutes * 60, chart.yRange.lower);
        svg += "<text class=\"tick\" x=\"" + num(at.x) + "\" y=\"" + num(kFrame.maxY() + 16) +
               "\" text-anchor=\"middle\">" + tickLabel(std::fabs(minutes)) + "</text>";
    }
    if (!options.axisTitle.empty()) {
        svg += "<text class=\"unit\" x=\"" + num(kFrame.minX() + kFrame.width / 2) + "\" y=\"" +
               num(kFrame.maxY() + 31) + "\" text-anchor=\"middle\">" +
               escapeXML(options.axisTitle) + "</text>";
    }
    // The unit above the frame's left edge, clear of the top tick label beside the frame.
    svg += "<text class=\"unit\" x=\"" + num(kFrame.minX()) + "\" y=\"" + num(kFrame.minY() - 4) +
           "\">" + escapeXML(options.unit) + "</text>";
    svg += "<rect class=\"frame\" x=\"" + num(kFrame.x) + "\" y=\"" + num(kFrame.y) +
           "\" width=\"" + num(kFrame.width) + "\" height=\"" + num(kFrame.height) + "\"/>";
    return svg;
}

std::string open(const ChartOptions& options) {
    std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + num(kWidth) + " " + num(kHeight) +
                      "\" role=\"img\" aria-label=\"" + escapeXML(options.title) + "\"";
    if (!options.summaryId.empty())
        svg += " aria-describedby=\"" + escapeXML(options.summaryId) + "\" tabindex=\"0\"";
    char window[96];
    std::snprintf(window, sizeof window,
                  " data-end=\"%.3f\" data-seconds=\"%.0f\" data-frame=\"%g %g\"",
                  options.end.unixTime(), options.seconds, kFrame.minX(), kFrame.maxX());
    return svg + window + " xmlns=\"http://www.w3.org/2000/svg\">";
}

// The drawn points of one series for the pointer readout: view x and value, in order.
std::string readoutData(const std::string& name, const std::string& color,
                        const std::vector<std::pair<MetricPoint, ChartPoint>>& placed) {
    std::string xs, values;
    for (const auto& [point, at] : placed) {
        if (!xs.empty()) {
            xs += ' ';
            values += ' ';
        }
        xs += num(at.x);
        values += num(*point.value);
    }
    return "<g class=\"data\" data-name=\"" + escapeXML(name) + "\" data-color=\"" +
           escapeXML(color) + "\" data-x=\"" + xs + "\" data-v=\"" + values + "\"></g>";
}

// A dashed line wherever the record broke: where a series' values stop (the device stopped
// answering) and between two values of different segments (a pause longer than the record
// bridges). Worked out on the whole window, not the thinned drawing; one marker for breaks
// that several series share.
std::string gapMarkers(const std::vector<std::vector<MetricPoint>>& series,
                       const ChartCoordinates& chart, const ChartOptions& options) {
    std::vector<double> xs;
    auto mark = [&](double secondsBeforeEnd) {
        const double x = chart.position(secondsBeforeEnd, chart.yRange.lower).x;
        for (double seen : xs)
            if (std::fabs(seen - x) < 3) return;
        xs.push_back(x);
    };
    for (const auto& points : series) {
        for (std::size_t i = 1; i < points.size(); ++i) {
            const MetricPoint& a = points[i - 1];
            const MetricPoint& b = points[i];
            if (a.value && !b.value) {
                mark(b.date.secondsSince(options.end));
            } else if (a.value && b.value && a.segment != b.segment) {
                mark((a.date.secondsSince(options.end) + b.date.secondsSince(options.end)) / 2);
            }
        }
    }
    std::string svg;
    for (double x : xs) {
        svg += "<line class=\"gap\" x1=\"" + num(x) + "\" x2=\"" + num(x) + "\" y1=\"" +
               num(kFrame.minY()) + "\" y2=\"" + num(kFrame.maxY()) + "\"><title>" +
               escapeXML(options.gapText) + "</title></line>";
    }
    return svg;
}

std::vector<std::pair<MetricPoint, ChartPoint>> place(const std::vector<MetricPoint>& points,
                                                      const ChartCoordinates& chart, Date end) {
    std::vector<std::pair<MetricPoint, ChartPoint>> placed;
    for (const MetricPoint& point : points) {
        if (!point.value) continue;
        placed.emplace_back(point, chart.position(point.date.secondsSince(end), *point.value));
    }
    return placed;
}

ChartCoordinates coordinates(const std::vector<double>& values, const ChartOptions& options) {
    return ChartCoordinates{
        kFrame, ClosedRange{-options.seconds, 0},
        MetricPlot::scale(values, options.automaticScale, options.baseline, options.upper)};
}

std::vector<MetricPoint> window(std::span<const MetricPoint> points, const ChartOptions& options) {
    std::vector<MetricPoint> kept;
    for (const MetricPoint& point : points) {
        const double age = options.end.secondsSince(point.date);
        if (age >= 0 && age <= options.seconds) kept.push_back(point);
    }
    return kept;
}

// The chart's text in the middle of its frame when it has no value to draw.
std::string emptyNote(const ChartOptions& options) {
    return "<text class=\"empty\" x=\"" + num(kFrame.x + kFrame.width / 2) + "\" y=\"" +
           num(kFrame.y + kFrame.height / 2) + "\" text-anchor=\"middle\">" +
           escapeXML(options.emptyText) + "</text>";
}

}  // namespace

std::string escapeXML(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

std::string pathData(const std::vector<std::pair<MetricPoint, ChartPoint>>& placed) {
    std::string d;
    std::optional<std::int64_t> segment;
    for (const auto& [point, at] : placed) {
        d += (segment && *segment == point.segment) ? " L" : (d.empty() ? "M" : " M");
        d += num(at.x) + " " + num(at.y);
        segment = point.segment;
    }
    return d;
}

std::string lineChart(const std::vector<Series>& series, const ChartOptions& options) {
    std::vector<std::vector<MetricPoint>> drawn, kept;
    std::vector<double> values;
    for (const Series& each : series) {
        kept.push_back(window(each.points, options));
        drawn.push_back(MetricPlot::decimated(kept.back(), options.budget));
        for (const MetricPoint& point : drawn.back())
            if (point.value) values.push_back(*point.value);
    }
    const ChartCoordinates chart = coordinates(values, options);
    std::string svg = open(options) + axes(chart, options);
    if (values.empty()) svg += emptyNote(options);
    std::vector<std::vector<std::pair<MetricPoint, ChartPoint>>> placed;
    for (std::size_t i = 0; i < series.size(); ++i) {
        placed.push_back(place(drawn[i], chart, options.end));
        const std::string d = pathData(placed.back());
        if (d.empty()) continue;
        svg += "<path class=\"series\" fill=\"none\" stroke=\"" + escapeXML(series[i].color) +
               "\" d=\"" + d + "\"><title>" + escapeXML(series[i].name) + "</title></path>";
        svg += readoutData(series[i].name, series[i].color, placed.back());
    }
    svg += gapMarkers(kept, chart, options);
    // Legend under the time axis.
    double x = kFrame.minX();
    for (const Series& each : series) {
        svg += "<g class=\"key\"><rect x=\"" + num(x) + "\" y=\"" + num(kHeight - 11) +
               "\" width=\"10\" height=\"4\" fill=\"" + escapeXML(each.color) +
               "\"/><text class=\"legend\" x=\"" + num(x + 14) + "\" y=\"" + num(kHeight - 6) +
               "\">" + escapeXML(each.name) + "</text></g>";
        x += 24 + 7.0 * static_cast<double>(each.name.size());
    }
    return svg + "</svg>";
}

std::string loadBandChart(std::span<const MetricPoint> cpuUsage, const ChartOptions& options) {
    const std::vector<MetricPoint> kept = window(cpuUsage, options);
    const std::vector<CPULoadRun> runs = CPULoadBands::runs(kept, options.budget);
    std::vector<double> values;
    for (const CPULoadRun& run : runs)
        for (const MetricPoint& point : run.points)
            if (point.value) values.push_back(*point.value);
    const ChartCoordinates chart = coordinates(values, options);
    std::string svg = open(options) + axes(chart, options);
    if (values.empty()) svg += emptyNote(options);
    for (const CPULoadRun& run : runs) {
        const std::string d = pathData(place(run.points, chart, options.end));
        if (d.empty()) continue;
        const char* band = run.level == CPULoadLevel::critical   ? "critical"
                           : run.level == CPULoadLevel::elevated ? "elevated"
                                                                 : "normal";
        svg +=
            std::string("<path class=\"band band-") + band + "\" fill=\"none\" d=\"" + d + "\"/>";
    }
    // The readout and the breaks follow the load itself, thinned as the other charts are.
    const auto all = place(MetricPlot::decimated(kept, options.budget), chart, options.end);
    svg += readoutData(options.title, "#2b8a3e", all) + gapMarkers({kept}, chart, options);
    return svg + "</svg>";
}

std::string sparkline(std::span<const MetricPoint> points, const ChartOptions& options) {
    static constexpr ChartRect frame{1, 1, 118, 26};
    const std::vector<MetricPoint> drawn =
        MetricPlot::decimated(window(points, options), options.budget);
    std::vector<double> values;
    for (const MetricPoint& point : drawn)
        if (point.value) values.push_back(*point.value);
    const ChartCoordinates chart{
        frame, ClosedRange{-options.seconds, 0},
        MetricPlot::scale(values, options.automaticScale, options.baseline, options.upper)};
    return "<svg class=\"spark\" viewBox=\"0 0 120 28\" aria-hidden=\"true\" "
           "xmlns=\"http://www.w3.org/2000/svg\"><path fill=\"none\" d=\"" +
           pathData(place(drawn, chart, options.end)) + "\"/></svg>";
}

std::string num(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

}  // namespace kilnview::Charts
