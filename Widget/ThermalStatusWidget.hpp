#pragma once
// ThermalStatusWidget: the widget's definition: its kind, its name and description in the
// gallery, the families it supports and the view it shows for each entry.
#include <array>
#include <string>
#include <string_view>

#include "StatusWidgetView.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"

namespace pyrelle {

struct ThermalStatusWidget {
    static constexpr std::string_view kind = WidgetStorage::kind;
    static constexpr std::string_view displayName = "Kilnview";
    static constexpr std::array<WidgetFamily, 3> supportedFamilies{
        WidgetFamily::systemSmall, WidgetFamily::systemMedium, WidgetFamily::systemLarge};

    // The gallery description in the user's language.
    static std::string description();
    // The view of `entry` for `family`.
    static StatusWidgetView content(const StatusEntry& entry, WidgetFamily family) {
        return {entry, family};
    }
};

}  // namespace pyrelle
