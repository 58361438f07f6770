#include "pyrelle/widget/WidgetPath.hpp"

#include <cmath>

#include "pyrelle/DecimalText.hpp"

namespace pyrelle {

std::string WidgetPath::number(double value) {
    if (!std::isfinite(value)) value = 0;
    char buffer[400];  // the widest double with two decimals
    std::string text(buffer, detail::writeFixed(buffer, buffer + sizeof buffer, value, 2));
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    if (text == "-0" || text.empty()) text = "0";
    return text;
}

std::string WidgetPath::svg() const {
    std::string data;
    for (const Element& element : elements) {
        switch (element.kind) {
            case Element::Kind::move: data += 'M'; break;
            case Element::Kind::line: data += 'L'; break;
            case Element::Kind::close: data += 'Z'; continue;
        }
        data += number(element.x);
        data += ' ';
        data += number(element.y);
    }
    return data;
}

}  // namespace pyrelle
