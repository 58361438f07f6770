#pragma once
// WidgetCardRenderer: draws a card as a standalone SVG document: the elements in card
// order, monospaced digits, trend paths and, when links are enabled, `<a href>` links to
// the application's pages.
#include <optional>
#include <string>

#include "pyrelle/widget/WidgetCardSize.hpp"
#include "pyrelle/widget/WidgetStatusContent.hpp"
#include "pyrelle/widget/WidgetTrend.hpp"

namespace pyrelle::WidgetCardRenderer {

struct Options {
    // The link scheme; links are drawn only when it can form a link address.
    std::string scheme = "pyrelle";
    // The tap address of the whole card (the background), if any.
    std::optional<std::string> widgetURL;
    // Prefix of the document's element ids, so several cards can share one HTML page.
    std::string idPrefix = "card";
};

// The card's drawing size in points.
WidgetSize size(WidgetCardSize size);

// The card as an SVG document (UTF-8, with XML declaration).
std::string svg(const WidgetStatusContent& content, const Options& options = {});

}  // namespace pyrelle::WidgetCardRenderer
