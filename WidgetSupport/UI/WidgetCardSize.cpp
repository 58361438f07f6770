#include "pyrelle/widget/WidgetCardSize.hpp"

namespace pyrelle {

std::string_view toText(WidgetCardSize size) {
    switch (size) {
        case WidgetCardSize::small: return "small";
        case WidgetCardSize::medium: return "medium";
        case WidgetCardSize::large: return "large";
    }
    return "small";
}

std::optional<WidgetCardSize> parseWidgetCardSize(std::string_view text) {
    for (WidgetCardSize size : allWidgetCardSizes) {
        if (toText(size) == text) return size;
    }
    return std::nullopt;
}

}  // namespace pyrelle
