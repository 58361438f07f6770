#pragma once
// WidgetTrend: a five-minute trend line with its filled area. Runs of different segments
// are drawn separately, so a gap in sampling is never bridged by a line.
#include <string>
#include <vector>

#include "pyrelle/widget/WidgetPath.hpp"
#include "pyrelle/widget/WidgetPoint.hpp"

namespace pyrelle {

// An sRGB colour with opacity, each 0…1.
struct WidgetColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double opacity = 1;

    // The colour of every trend.
    static WidgetColor trend() { return {0.53, 0.43, 0.82, 1}; }
    // "#rrggbb" (opacity is given separately in SVG).
    std::string hex() const;
    bool operator==(const WidgetColor&) const = default;
};

struct WidgetSize {
    double width = 0;
    double height = 0;
};

struct WidgetTrend {
    // Seconds of history a trend spans, ending at `end`.
    static constexpr double span = 300;

    std::vector<WidgetPoint> points;
    double end = 0;      // the instant at the right edge
    double upper = 100;  // the value drawn at the top edge
    WidgetColor color = WidgetColor::trend();

    struct Paths {
        WidgetPath line;
        WidgetPath area;
    };
    // The line and the closed area over a drawing of `size`, from the points in order;
    // points without a (finite) value, or with a non-finite date, are skipped.
    Paths paths(WidgetSize size) const;
};

}  // namespace pyrelle
