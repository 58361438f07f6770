#pragma once
// Pages: the server-rendered HTML of every page. Rendered on request from plain copies of the
// state (nothing is re-rendered per sample); live values carry `data-live` keys that the page
// script refreshes from /events.

#include <optional>
#include <string>

#include "Model/AppView.hpp"
#include "Web/AppText.hpp"
#include "pyrelle/ControlRequest.hpp"
#include "pyrelle/PowerConfiguration.hpp"

namespace kilnview::Pages {

// What every page needs besides its data.
struct PageContext {
    const AppText& text;
    std::string token;  // the per-run token the page's script sends with every POST
    std::string theme;  // the browser's appearance choice, "light" or "dark"; else the system's
};

// The power settings as read for the power page: the configuration, or why it could not be read.
struct PowerReading {
    std::optional<pyrelle::PowerConfiguration> configuration;
    std::string failure;
};

std::string overview(const PageContext& context, const AppView& view);
std::string sensors(const PageContext& context, const AppView& view);
// `running`: the curve this Kilnview started, while its lease runs.
std::string fans(const PageContext& context, const AppView& view,
                 const std::optional<pyrelle::ControlRequest>& running = std::nullopt);
// `minutes`: the charts' window (one of HistoryCharts::kWindows).
std::string history(const PageContext& context, const AppView& view, const AppHistory& history,
                    int minutes = 30);
std::string processes(const PageContext& context, const AppView& view);
std::string power(const PageContext& context, const AppView& view, const AppHistory& history,
                  const PowerReading& reading);

}  // namespace kilnview::Pages
