#include "pyrelle/widget/WidgetTrend.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace pyrelle {
namespace {

double unit(double value) {
    return std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
}

int channel(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<int>(std::lround(unit(value) * 255));
}

}  // namespace

std::string WidgetColor::hex() const {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", channel(red), channel(green),
                  channel(blue));
    return buffer;
}

WidgetTrend::Paths WidgetTrend::paths(WidgetSize size) const {
    Paths paths;
    const double width = size.width;
    const double height = size.height;
    const double start = end - span;

    std::optional<std::int64_t> segment;  // of the previous drawn point
    double runStartX = 0;
    double lastX = 0;
    auto closeRun = [&] {
        // Down to the bottom edge and back to where the run began.
        paths.area.line(lastX, height);
        paths.area.line(runStartX, height);
        paths.area.close();
    };

    for (const WidgetPoint& point : points) {
        if (!point.value || !std::isfinite(*point.value) || !std::isfinite(point.date)) continue;
        double xFraction = unit((point.date - start) / span);
        double ratio = upper >= 1 ? *point.value / upper : *point.value;
        double x = width * xFraction;
        double y = height - height * unit(ratio);
        if (segment && *segment == point.segment) {
            paths.line.line(x, y);
            paths.area.line(x, y);
        } else {
            if (segment) closeRun();
            paths.line.move(x, y);
            paths.area.move(x, y);
            runStartX = x;
        }
        segment = point.segment;
        lastX = x;
    }
    if (segment) closeRun();
    return paths;
}

}  // namespace pyrelle
