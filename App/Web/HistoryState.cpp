#include "Web/HistoryState.hpp"

#include <cmath>
#include <string>

namespace kilnview {

namespace {

nlohmann::json points(const std::vector<pyrelle::MetricPoint>& series) {
    nlohmann::json list = nlohmann::json::array();
    for (const pyrelle::MetricPoint& point : series) {
        nlohmann::json entry = {{"date", point.date.iso8601()}, {"segment", point.segment}};
        if (point.value && std::isfinite(*point.value))
            entry["value"] = *point.value;
        else
            entry["value"] = nullptr;
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace

nlohmann::json historyState(const AppHistory& history, const DeviceStatus& device) {
    nlohmann::json fans = nlohmann::json::object();
    for (const auto& [id, series] : history.fans) fans[std::to_string(id)] = points(series);
    nlohmann::json state = {{"cpuTemperature", points(history.cpuTemperature)},
                            {"gpuTemperature", points(history.gpuTemperature)},
                            {"cpuUsage", points(history.cpuUsage)},
                            {"fans", fans},
                            {"deviceUp", device.answering}};
    if (history.end) state["end"] = history.end->iso8601();
    return state;
}

}  // namespace kilnview
