#pragma once
// Charts: SVG drawings of the core's chart data. Series are thinned with MetricPlot's
// decimation, scaled with MetricPlot::scale, placed with ChartCoordinates and ticked with its
// tidy ticks; a line breaks wherever the series' segment changes (a gap in the record).

#include <optional>
#include <string>
#include <vector>

#include "pyrelle/CPULoadBands.hpp"
#include "pyrelle/ChartRect.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/MetricPoint.hpp"
#include "pyrelle/ModeRecord.hpp"

namespace kilnview::Charts {

struct Series {
    std::string name;   // legend text (already translated)
    std::string color;  // CSS colour
    std::vector<pyrelle::MetricPoint> points;
};

struct ChartOptions {
    std::string title;  // already translated
    std::string unit;   // "°C", "%", "RPM", "W"
    pyrelle::Date end;  // right edge; the chart spans the 30 minutes before it
    double seconds = 1800;
    bool automaticScale = true;
    double baseline = 0;    // with a fixed scale: lower bound
    double upper = 100;     // with a fixed scale: upper bound
    int budget = 240;       // drawn points per series
    std::string emptyText;  // shown when no series has a value
    std::string axisTitle;  // under the time axis, e.g. "minutes ago" (already translated)
    std::string gapText;    // title of a gap marker (already translated)
    std::string summaryId;  // id of the element holding the chart's text alternative
};

// One line chart as an <svg> element. Besides the drawing it carries what a pointer readout
// needs: the window (data-end, seconds since the epoch; data-seconds) and, per series, a
// <g class="data"> with the drawn points' view x and values; a dashed marker stands wherever
// the record broke.
std::string lineChart(const std::vector<Series>& series, const ChartOptions& options);

// The CPU load as coloured runs of its load bands (normal, elevated, critical).
std::string loadBandChart(std::span<const pyrelle::MetricPoint> cpuUsage,
                          const ChartOptions& options);

// The "d" attribute of an SVG path through the points, a new sub-path at every segment change.
std::string pathData(
    const std::vector<std::pair<pyrelle::MetricPoint, pyrelle::ChartPoint>>& placed);

// A small line of the last `options.seconds` of one series, for a card: no axes, no text.
std::string sparkline(std::span<const pyrelle::MetricPoint> points, const ChartOptions& options);

std::string escapeXML(std::string_view text);

// A view coordinate as SVG text, to one decimal.
std::string num(double value);

}  // namespace kilnview::Charts
