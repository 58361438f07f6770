#include "pyrelle/widget/WidgetSymbols.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "pyrelle/DecimalText.hpp"
#include "pyrelle/widget/WidgetPath.hpp"

namespace pyrelle::WidgetSymbols {
namespace {

// Drawings on a 24-unit grid; "C" stands for the symbol's colour.
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> drawings{{
    {"thermometer.medium",
     R"svg(<rect x="9.5" y="2" width="5" height="14" rx="2.5" fill="none" stroke="C" stroke-width="1.8"/>)svg"
     R"svg(<circle cx="12" cy="18.5" r="3.8" fill="C"/><rect x="11" y="9" width="2" height="9" fill="C"/>)svg"},
    {"thermometer",
     R"svg(<rect x="9.5" y="2" width="5" height="14" rx="2.5" fill="none" stroke="C" stroke-width="1.8"/>)svg"
     R"svg(<circle cx="12" cy="18.5" r="3.8" fill="C"/><rect x="11" y="13" width="2" height="5" fill="C"/>)svg"},
    {"cpu",
     R"svg(<rect x="5.5" y="5.5" width="13" height="13" rx="2.5" fill="none" stroke="C" stroke-width="1.8"/>)svg"
     R"svg(<rect x="9" y="9" width="6" height="6" rx="1" fill="C"/>)svg"
     R"svg(<path d="M9 2v3M12 2v3M15 2v3M9 19v3M12 19v3M15 19v3M2 9h3M2 12h3M2 15h3M19 9h3M19 12h3M19 15h3" )svg"
     R"svg(stroke="C" stroke-width="1.6" stroke-linecap="round"/>)svg"},
    {"fanblades",
     R"svg(<circle cx="12" cy="12" r="2.2" fill="C"/>)svg"
     R"svg(<path d="M12 10C10 6 11 2.5 14 2.5C17 2.5 16.5 7 12 10Z" fill="C"/>)svg"
     R"svg(<path d="M12 10C10 6 11 2.5 14 2.5C17 2.5 16.5 7 12 10Z" fill="C" transform="rotate(120 12 12)"/>)svg"
     R"svg(<path d="M12 10C10 6 11 2.5 14 2.5C17 2.5 16.5 7 12 10Z" fill="C" transform="rotate(240 12 12)"/>)svg"},
    {"wind",
     R"svg(<path d="M3 9h11a3 3 0 1 0-3-3M3 13h15a3 3 0 1 1-3 3M3 17h7" fill="none" stroke="C" )svg"
     R"svg(stroke-width="1.8" stroke-linecap="round"/>)svg"},
}};

std::string_view drawing(std::string_view name) {
    for (const auto& [known, body] : drawings) {
        if (known == name) return body;
    }
    return {};
}

}  // namespace

bool has(std::string_view name) {
    return !drawing(name).empty();
}

std::string_view resolve(std::string_view name) {
    if (has(name)) return name;
    return name == "fanblades" ? "wind" : "thermometer";
}

std::string svg(std::string_view name, double x, double y, double size, std::string_view color) {
    std::string body(drawing(resolve(name)));
    std::string colored;
    for (char c : body) {
        if (c == 'C' && !colored.empty() && colored.back() == '"') {
            colored += color;
        } else {
            colored += c;
        }
    }
    // The scale keeps four decimals: the drawings are 24 units wide, so two would misplace
    // their edges by up to a tenth of a point.
    char scale[400];
    std::string factor(scale, detail::writeFixed(scale, scale + sizeof scale,
                                                 std::isfinite(size) ? size / 24.0 : 0, 4));
    return "<g class=\"symbol\" transform=\"translate(" + WidgetPath::number(x) + " " +
           WidgetPath::number(y) + ") scale(" + factor + ")\">" + colored + "</g>";
}

}  // namespace pyrelle::WidgetSymbols
