#pragma once
// LiveState: the JSON behind /api/state and every /events message. Each key of "live" is a
// `data-live` key of the pages and holds the text that element shows, already in the page's
// language, so the script only swaps texts. "findings" carries the overview's list.

#include <nlohmann/json.hpp>

#include "Model/AppView.hpp"
#include "Web/AppText.hpp"

namespace kilnview {

nlohmann::json liveState(const AppView& view, const AppText& text);

}  // namespace kilnview
