#pragma once
// WidgetCardSize: the three card layouts the widget draws.
#include <array>
#include <optional>
#include <string_view>

namespace pyrelle {

enum class WidgetCardSize { small, medium, large };

inline constexpr std::array<WidgetCardSize, 3> allWidgetCardSizes{
    WidgetCardSize::small, WidgetCardSize::medium, WidgetCardSize::large};

// "small", "medium" or "large".
std::string_view toText(WidgetCardSize size);
std::optional<WidgetCardSize> parseWidgetCardSize(std::string_view text);

}  // namespace pyrelle
