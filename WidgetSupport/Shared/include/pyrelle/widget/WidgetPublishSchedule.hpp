#pragma once
// WidgetPublishSchedule: the throttle the desktop application consults on every sample:
// an unchanged state is rewritten once a minute and reloads the widget every half hour;
// a change is written at once and reloads at most once a minute. Not thread-safe.
#include <optional>
#include <string>
#include <string_view>

#include "pyrelle/widget/WidgetPublishDecision.hpp"

namespace pyrelle {

struct WidgetPublishSchedule {
    // The distant past (0001-01-01), in seconds since 2001-01-01T00:00:00Z.
    static constexpr double distantPast = -63114076800.0;
    static constexpr double writeInterval = 60;
    static constexpr double reloadInterval = 1800;

    double lastWrite = distantPast;
    double lastReload = distantPast;
    std::optional<std::string> signature;  // the state text of the last write
    bool pending = false;                  // a written change still awaits its reload

    // The decision for a sample taken at `date` whose visible state is summarised by `state`.
    WidgetPublishDecision receive(double date, std::string_view state);

    bool operator==(const WidgetPublishSchedule&) const = default;
};

}  // namespace pyrelle
