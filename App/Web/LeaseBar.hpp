#pragma once
// LeaseBar: what every page carries about fan control besides its own content: the bar that
// shows who controls the fans, the remaining time and a way back to automatic while a lease
// runs; the texts the page script needs to confirm risky actions, explain how a lease ended
// and notify; the optional-notifications switch; and the page's own script modules.

#include <string>
#include <string_view>

#include "Model/AppView.hpp"
#include "Web/AppText.hpp"

namespace kilnview::LeaseBar {

// The bar as `view` has it (hidden while no lease runs); the page script keeps it live.
std::string bar(const AppText& text, const AppView& view);

// The switch that turns browser notifications on (they are off until the user asks).
std::string notificationSwitch(const AppText& text);

// The <script> elements of the modules page `page` uses beyond app.js.
std::string scripts(std::string_view page);

}  // namespace kilnview::LeaseBar
