#pragma once
// The page assets (App/Assets) compiled into the program.

#include <string_view>

namespace kilnview::assets {

// The content of the asset `name` ("app.css", "app.js"); empty for an unknown name.
std::string_view text(std::string_view name);

}  // namespace kilnview::assets
