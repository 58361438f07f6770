#pragma once

#include <cmath>

namespace pyrelle {

// A position in view coordinates: x grows to the right, y grows downward.
struct ChartPoint {
    double x = 0;
    double y = 0;

    friend constexpr bool operator==(const ChartPoint&, const ChartPoint&) = default;
};

// A chart's drawing rectangle in view coordinates (origin, width, height). Its edges are always
// read from the standardised form, in which a negative width or height counts as its absolute
// value with the origin moved to the other side, as the desktop geometry functions do.
struct ChartRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    ChartRect standardized() const {
        ChartRect r = *this;
        if (r.width < 0) {
            r.x += r.width;
            r.width = -r.width;
        }
        if (r.height < 0) {
            r.y += r.height;
            r.height = -r.height;
        }
        return r;
    }

    double minX() const { return width < 0 ? x + width : x; }
    double maxX() const { return width < 0 ? x : x + width; }
    double minY() const { return height < 0 ? y + height : y; }
    double maxY() const { return height < 0 ? y : y + height; }
    double standardWidth() const { return std::fabs(width); }
    double standardHeight() const { return std::fabs(height); }

    // Minimum edges inclusive, maximum edges exclusive; an empty rectangle contains nothing.
    bool contains(ChartPoint p) const {
        return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }

    friend constexpr bool operator==(const ChartRect&, const ChartRect&) = default;
};

}  // namespace pyrelle
