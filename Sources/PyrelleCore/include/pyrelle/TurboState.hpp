#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// State of the turbo-disable driver of Intel machines; JSON uses the text value.
enum class TurboState { disabledDriverLoaded, driverNotLoaded, unknown, unsupported };

std::string_view toText(TurboState state);
std::string_view title(TurboState state);
// An unknown text gives no value.
std::optional<TurboState> parseTurboState(std::string_view text);

void to_json(nlohmann::json& json, const TurboState& state);
void from_json(const nlohmann::json& json, TurboState& state);  // throws ScopeError

}  // namespace pyrelle
