#include "pyrelle/RecordedTurboMode.hpp"

namespace pyrelle {

std::string_view toText(RecordedTurboMode mode) {
    switch (mode) {
        case RecordedTurboMode::on: return "开启睿频";
        case RecordedTurboMode::off: return "关闭睿频";
    }
    return "开启睿频";
}

std::optional<RecordedTurboMode> recordedTurboMode(TurboState state) {
    switch (state) {
        case TurboState::driverNotLoaded: return RecordedTurboMode::on;
        case TurboState::disabledDriverLoaded: return RecordedTurboMode::off;
        case TurboState::unknown:
        case TurboState::unsupported: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace pyrelle
