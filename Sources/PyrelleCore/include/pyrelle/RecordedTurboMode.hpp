#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "pyrelle/TurboState.hpp"

namespace pyrelle {

// Whether turbo was allowed during a recorded sample, as the turbo comparison charts show it.
enum class RecordedTurboMode { on, off };

inline constexpr std::array<RecordedTurboMode, 2> allRecordedTurboModes{RecordedTurboMode::on,
                                                                        RecordedTurboMode::off};

// "开启睿频" / "关闭睿频"; also the mode's identity.
std::string_view toText(RecordedTurboMode mode);

// driverNotLoaded → on, disabledDriverLoaded → off; unknown and unsupported give nothing.
std::optional<RecordedTurboMode> recordedTurboMode(TurboState state);

}  // namespace pyrelle
