#pragma once
// StatusWidgetView: the card of one timeline entry for one widget family: the content in
// the family's size, with links, the whole card opening the overview page.
#include <string>

#include "StatusEntry.hpp"
#include "pyrelle/widget/WidgetCardSize.hpp"
#include "pyrelle/widget/WidgetStatusContent.hpp"

namespace pyrelle {

// The widget families a host may ask for.
enum class WidgetFamily { systemSmall, systemMedium, systemLarge, systemExtraLarge };

struct StatusWidgetView {
    StatusEntry entry;
    WidgetFamily family = WidgetFamily::systemSmall;

    // small → small, medium → medium, anything else → large.
    WidgetCardSize size() const;
    // The card content: the entry's snapshot and date, links enabled.
    WidgetStatusContent content() const;
    // The tap address of the whole card: the overview page.
    std::string widgetURL() const;
    // The rendered card (SVG), element ids prefixed with `idPrefix`.
    std::string body(const std::string& idPrefix = "card") const;
};

}  // namespace pyrelle
