#include "pyrelle/widget/WidgetPath.hpp"

#include <cmath>
#include <cstdio>

namespace pyrelle {
namespace {

// Two decimals, trailing zeros trimmed, never "-0".
std::string coordinate(double value) {
    if (!std::isfinite(value)) value = 0;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    std::string text(buffer);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

}  // namespace

std::string WidgetPath::svg() const {
    std::string data;
    for (const Element& element : elements) {
        switch (element.kind) {
            case Element::Kind::move: data += 'M'; break;
            case Element::Kind::line: data += 'L'; break;
            case Element::Kind::close: data += 'Z'; continue;
        }
        data += coordinate(element.x);
        data += ' ';
        data += coordinate(element.y);
    }
    return data;
}

}  // namespace pyrelle
