#pragma once

#include "pyrelle/Date.hpp"
#include "pyrelle/RecordedTurboMode.hpp"

namespace pyrelle {

// The moment the recorded turbo mode changed, and the mode it changed to. Identity is `date`.
struct TurboTransition {
    Date date;
    RecordedTurboMode mode = RecordedTurboMode::on;

    Date id() const { return date; }

    friend bool operator==(const TurboTransition&, const TurboTransition&) = default;
};

}  // namespace pyrelle
