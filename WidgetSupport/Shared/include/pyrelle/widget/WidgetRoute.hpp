#pragma once
// WidgetRoute: a page of the desktop application that a tap on the widget opens, and the
// link address that carries it.
#include <optional>
#include <string>
#include <string_view>

#include "pyrelle/widget/WidgetBundle.hpp"
#include "pyrelle/widget/WidgetMetric.hpp"

namespace pyrelle {

class WidgetRoute {
public:
    enum class Kind { metric, overview, thermal };

    static WidgetRoute metric(WidgetMetric metric) { return WidgetRoute(Kind::metric, metric); }
    static WidgetRoute overview() {
        return WidgetRoute(Kind::overview, WidgetMetric::cpuTemperature);
    }
    static WidgetRoute thermal() {
        return WidgetRoute(Kind::thermal, WidgetMetric::cpuTemperature);
    }

    // The route of a link address, or nothing when the address is not exactly one of ours.
    static std::optional<WidgetRoute> parse(std::string_view url);

    Kind kind() const { return kind_; }
    // The metric of a `metric` route.
    std::optional<WidgetMetric> metricValue() const;

    // The link address under the bundle's configured scheme ("pyrelle" by default).
    std::string url(const WidgetBundle& bundle = WidgetBundle::main()) const;
    // The link address under `scheme`.
    std::string url(std::string_view scheme) const;

    // The scheme the bundle configures ("PyrelleURLScheme" when text, else "pyrelle").
    static std::string scheme(const WidgetBundle& bundle = WidgetBundle::main());
    // Whether `scheme` can start a link address (a letter, then letters, digits, + - .).
    static bool isValidScheme(std::string_view scheme);

    bool operator==(const WidgetRoute& other) const {
        return kind_ == other.kind_ && (kind_ != Kind::metric || metric_ == other.metric_);
    }

private:
    WidgetRoute(Kind kind, WidgetMetric metric) : kind_(kind), metric_(metric) {}
    Kind kind_;
    WidgetMetric metric_;
};

}  // namespace pyrelle
