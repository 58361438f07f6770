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

// The colours of a card in one appearance. Tiles are opaque, so the contrast of every text
// with what lies under it is exactly that of two of these colours; secondary texts (on the
// background and on tiles) and the attention colour of a status label that is not recent
// (on the background) keep at least 4.5:1.
struct Palette {
    WidgetColor background;
    WidgetColor tile;
    WidgetColor text;
    WidgetColor secondary;
    WidgetColor attention;

    static Palette light();
    static Palette dark();
};

// The card's drawing size in points.
WidgetSize size(WidgetCardSize size);

// The card as an SVG document (UTF-8, with XML declaration).
std::string svg(const WidgetStatusContent& content, const Options& options = {});

}  // namespace pyrelle::WidgetCardRenderer
