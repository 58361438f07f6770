#include "pyrelle/widget/WidgetPublishSchedule.hpp"

#include <cmath>

namespace pyrelle {

WidgetPublishDecision WidgetPublishSchedule::receive(double date, std::string_view state) {
    if (!std::isfinite(date)) return {};
    bool changed = !signature || *signature != state;
    // An earlier date gives a negative difference: less than a minute.
    if (!changed && date - lastWrite < writeInterval) return {};

    signature = std::string(state);
    lastWrite = date;
    if (changed) pending = true;

    double sinceReload = date - lastReload;
    if (sinceReload >= reloadInterval || (pending && sinceReload >= writeInterval)) {
        lastReload = date;
        pending = false;
        return {true, true};
    }
    return {true, false};
}

}  // namespace pyrelle
