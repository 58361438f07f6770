#pragma once
// Metrics: the Prometheus text exposition format (version 0.0.4) of the live state, so fleets
// of machines are scraped and graphed by Prometheus and Grafana. Every family has # HELP and
// # TYPE lines; absent readings are left out rather than reported as zero.

#include <string>

#include "Model/AppView.hpp"

namespace kilnview {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string metricsText(const AppView& view);

// A label value with \, " and line feeds escaped as the exposition format requires.
std::string escapeLabel(std::string_view value);

}  // namespace kilnview
