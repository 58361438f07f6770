#pragma once
// WidgetStatusContent: everything one card shows, derived from an optional snapshot and
// the entry's date. All freshness decisions use that date, never the wall clock.
#include <optional>
#include <string>
#include <string_view>

#include "pyrelle/widget/WidgetCardSize.hpp"
#include "pyrelle/widget/WidgetFan.hpp"
#include "pyrelle/widget/WidgetFreshness.hpp"
#include "pyrelle/widget/WidgetMetric.hpp"
#include "pyrelle/widget/WidgetSnapshot.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"
#include "pyrelle/widget/WidgetTrend.hpp"

namespace pyrelle {

struct WidgetStatusContent {
    // The card's user-facing source texts, each kept in one place.
    struct Texts {
        static constexpr std::string_view appName = "Kilnview";
        static constexpr std::string_view description = "查看温度、CPU、风扇与最近模式。";
        static constexpr std::string_view openApp = "打开Kilnview开始监测";
        static constexpr std::string_view waiting = "等待状态数据";
        static constexpr std::string_view sampled = "采样时间";
        static constexpr std::string_view recent = "最近状态";
        static constexpr std::string_view paused = "监测已暂停";
        static constexpr std::string_view turbo = "睿频";
        static constexpr std::string_view separator = " · ";
        static constexpr std::string_view rpmUnit = " RPM";
        static constexpr std::string_view degree = "°";
        static constexpr std::string_view fan = "风扇";
        static constexpr std::string_view manual = "手动";
        static constexpr std::string_view automatic = "自动";
        static constexpr std::string_view unknown = "未知";
        static constexpr std::string_view missing = "—";
    };

    std::optional<WidgetSnapshot> snapshot;
    double date = 0;  // the entry's date, seconds since 2001-01-01T00:00:00Z
    WidgetCardSize size = WidgetCardSize::small;
    bool linksEnabled = false;
    // The text table; null means `WidgetStrings::shared()`.
    const WidgetStrings* strings = nullptr;

    // The source title of a metric the cards show ("CPU 温度", "CPU 使用率", "风扇转速").
    static std::string_view title(WidgetMetric metric);
    // "°" for temperatures, "%" for CPU load, nothing for fans.
    static std::string_view unit(WidgetMetric metric);
    // The metric's value with no decimals, or "—" without a usable snapshot or value.
    std::string number(WidgetMetric metric) const;
    // The value with no decimals (or "—"), followed by "°C".
    static std::string temperature(std::optional<double> value);
    // "风扇 1 · 2400 · 自动", translated.
    std::string fanText(const WidgetFan& fan) const;

    // The snapshot's language, or "system" without a snapshot.
    std::string language() const;
    // `key` translated into the card's language.
    std::string text(std::string_view key) const;
    // The snapshot's freshness at `date`; `unavailable` without a snapshot.
    WidgetFreshness freshness() const;
    // Whether figures are shown (a snapshot that is not unavailable).
    bool showsValues() const;
    // The translated status label (recent, paused or waiting).
    std::string statusLabel() const;
    // The translated footer label: the status label on small cards, "采样时间" otherwise.
    std::string footerLabel() const;
    // The translated mode, or the invitation to open the application without usable data.
    std::string modeText() const;
    // The translated turbo state, or "—" without usable data.
    std::string turboText() const;
    // The trend of `metric` as the cards draw it.
    WidgetTrend trend(WidgetMetric metric) const;

private:
    const WidgetStrings& table() const;
};

}  // namespace pyrelle
