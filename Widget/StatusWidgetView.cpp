#include "StatusWidgetView.hpp"

#include "pyrelle/widget/WidgetCardRenderer.hpp"
#include "pyrelle/widget/WidgetRoute.hpp"

namespace pyrelle {

WidgetCardSize StatusWidgetView::size() const {
    switch (family) {
        case WidgetFamily::systemSmall: return WidgetCardSize::small;
        case WidgetFamily::systemMedium: return WidgetCardSize::medium;
        default: return WidgetCardSize::large;
    }
}

WidgetStatusContent StatusWidgetView::content() const {
    WidgetStatusContent content;
    content.snapshot = entry.snapshot;
    content.date = entry.date;
    content.size = size();
    content.linksEnabled = true;
    return content;
}

std::string StatusWidgetView::widgetURL() const {
    return WidgetRoute::overview().url();
}

std::string StatusWidgetView::body(const std::string& idPrefix) const {
    WidgetCardRenderer::Options options;
    options.scheme = WidgetRoute::scheme();
    options.widgetURL = widgetURL();
    options.idPrefix = idPrefix;
    return WidgetCardRenderer::svg(content(), options);
}

}  // namespace pyrelle
