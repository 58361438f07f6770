#pragma once
// WidgetPath: a drawing path of moves, lines and closes, written out as SVG path data.
#include <string>
#include <vector>

namespace pyrelle {

struct WidgetPath {
    struct Element {
        enum class Kind { move, line, close };
        Kind kind;
        double x = 0;
        double y = 0;
        bool operator==(const Element&) const = default;
    };

    std::vector<Element> elements;

    void move(double x, double y) { elements.push_back({Element::Kind::move, x, y}); }
    void line(double x, double y) { elements.push_back({Element::Kind::line, x, y}); }
    void close() { elements.push_back({Element::Kind::close}); }
    bool empty() const { return elements.empty(); }

    // SVG path data ("M1 2L3 4Z"), coordinates to two decimals.
    std::string svg() const;

    // A number as SVG writes it: two decimals with trailing zeros trimmed, never "-0", 0 for a
    // value that is not finite, and a decimal point whatever the process locale.
    static std::string number(double value);

    bool operator==(const WidgetPath&) const = default;
};

}  // namespace pyrelle
