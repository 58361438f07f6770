#pragma once
// HistoryState: the JSON behind /api/history, the 30-minute histories as points. Each point is
// {"date": ISO 8601, "value": number or null, "segment": n}; a null value, or a change of
// segment, is a gap (the SMC did not answer, or samples stopped), never a value carried on.

#include <nlohmann/json.hpp>

#include "Model/AppView.hpp"

namespace kilnview {

nlohmann::json historyState(const AppHistory& history, const DeviceStatus& device);

}  // namespace kilnview
