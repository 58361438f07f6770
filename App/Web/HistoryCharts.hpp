#pragma once
// HistoryCharts: the history page's charts for a chosen window (5, 15 or 30 minutes, narrowed
// to the data held so a young record fills the width), each with its text alternative
// (current, lowest and highest value of every series); the fragment the page script fetches
// each second to stay live; and the overview cards' sparklines.

#include <string>

#include <nlohmann/json.hpp>

#include "Model/AppView.hpp"
#include "Web/AppText.hpp"

namespace kilnview::HistoryCharts {

// The windows offered, in minutes; the first is the default.
inline constexpr int kWindows[] = {30, 15, 5};

// The offered window a request's "minutes" parameter names, else the default.
int window(const std::string& parameter);

// The charts alone (what the page script swaps in).
std::string charts(const AppText& text, const AppHistory& history, int minutes);

// The window switch, the clock caption slot and the charts.
std::string section(const AppText& text, const AppHistory& history, int minutes);

// {"cpuTemperature": "<svg…>", "gpuTemperature": …, "cpuUsage": …}: the last five minutes,
// keyed as the overview's live values, and "sensor-<id>" for each common reading.
nlohmann::json sparklines(const AppHistory& history);

// {"key-<reading id>": "<svg…>"} for every discovered reading with a trail (SensorTrails).
nlohmann::json sensorSparklines(
    const std::map<std::string, std::vector<pyrelle::MetricPoint>>& trails,
    const std::optional<pyrelle::Date>& end);

}  // namespace kilnview::HistoryCharts
