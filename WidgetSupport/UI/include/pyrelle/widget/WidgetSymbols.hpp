#pragma once
// WidgetSymbols: the small pictograms of the cards, drawn as SVG. A symbol that is not in
// the set is replaced as the system does: "fanblades" by "wind", anything else by
// "thermometer".
#include <string>
#include <string_view>

namespace pyrelle::WidgetSymbols {

// Whether the set has a drawing named `name`.
bool has(std::string_view name);
// `name`, or its replacement when the set lacks it.
std::string_view resolve(std::string_view name);
// An SVG group drawing the (resolved) symbol in a `size`-square box at (x, y) in `color`.
std::string svg(std::string_view name, double x, double y, double size, std::string_view color);

}  // namespace pyrelle::WidgetSymbols
