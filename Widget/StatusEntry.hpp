#pragma once
// StatusEntry: one timeline entry: the moment it is shown and the status read for it.
#include <optional>

#include "pyrelle/widget/WidgetSnapshot.hpp"

namespace pyrelle {

struct StatusEntry {
    double date = 0;  // seconds since 2001-01-01T00:00:00Z
    std::optional<WidgetSnapshot> snapshot;

    bool operator==(const StatusEntry&) const = default;
};

}  // namespace pyrelle
