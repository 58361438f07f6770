#include "pyrelle/widget/WidgetCardRenderer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>
#include <unicode/unistr.h>

#include "pyrelle/widget/WidgetFont.hpp"
#include "pyrelle/widget/WidgetPath.hpp"
#include "pyrelle/widget/WidgetRoute.hpp"
#include "pyrelle/widget/WidgetSymbols.hpp"
#include "pyrelle/widget/WidgetText.hpp"

namespace pyrelle::WidgetCardRenderer {
namespace {

using Texts = WidgetStatusContent::Texts;

constexpr double padding = 14;

// Gap between two texts sharing a row.
constexpr double rowGap = 12;
// A semibold text is this much wider than the regular widths of the font's table.
constexpr double semibold = 1.06;

std::string num(double value) {
    return WidgetPath::number(value);
}

WidgetColor rgb(std::uint32_t hex) {
    return {((hex >> 16) & 0xFF) / 255.0, ((hex >> 8) & 0xFF) / 255.0, (hex & 0xFF) / 255.0, 1};
}

// How two texts in one row share `room`: each keeps what it needs when both fit; otherwise
// a text needing at most half keeps it and the other gets the rest; two long texts get
// half each.
std::pair<double, double> share(double first, double second, double room) {
    const double half = (room - rowGap) / 2;
    if (first + rowGap + second <= room) return {first, second};
    if (first <= half) return {first, room - rowGap - first};
    if (second <= half) return {room - rowGap - second, second};
    return {half, half};
}

// Text made safe for XML character data and attributes: well-formed UTF-8, no control
// characters (which XML 1.0 cannot carry at all), markup characters escaped. Cards show
// one line per text, so line breaks become spaces.
std::string escape(std::string_view raw) {
    std::string text = WidgetText::validUTF8(raw);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        // U+FFFE and U+FFFF (EF BF BE / EF BF BF) are not XML characters either.
        if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            out += "\xEF\xBF\xBD";
            i += 2;
            continue;
        }
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    out += ' ';
                else
                    out += static_cast<char>(c);
        }
    }
    return out;
}

// The ICU locale matching the card's language.
icu::Locale cardLocale(const std::string& language) {
    if (language.rfind("zh", 0) == 0) {
        bool hant = language.find("Hant") != std::string::npos ||
                    language.find("TW") != std::string::npos ||
                    language.find("HK") != std::string::npos;
        return icu::Locale(hant ? "zh_Hant" : "zh_Hans");
    }
    for (std::string_view code : WidgetStrings::codes) {
        if (language.rfind(code, 0) == 0) return icu::Locale(std::string(code).c_str());
    }
    return icu::Locale("en");
}

// The snapshot's date relative to the entry's ("5 min. ago"), in the card's language.
std::string relativeTime(double instant, double now, const icu::Locale& locale) {
    double offset = instant - now;
    if (!std::isfinite(offset)) return std::string(Texts::missing);
    double magnitude = std::fabs(offset);
    URelativeDateTimeUnit unit = UDAT_REL_UNIT_SECOND;
    double amount = std::round(offset);
    if (magnitude >= 86400) {
        unit = UDAT_REL_UNIT_DAY;
        amount = std::trunc(offset / 86400);
    } else if (magnitude >= 3600) {
        unit = UDAT_REL_UNIT_HOUR;
        amount = std::trunc(offset / 3600);
    } else if (magnitude >= 60) {
        unit = UDAT_REL_UNIT_MINUTE;
        amount = std::trunc(offset / 60);
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::RelativeDateTimeFormatter formatter(locale, nullptr, UDAT_STYLE_SHORT,
                                             UDISPCTX_CAPITALIZATION_FOR_BEGINNING_OF_SENTENCE,
                                             status);
    icu::UnicodeString text;
    if (U_SUCCESS(status)) formatter.formatNumeric(amount == 0 ? -0.0 : amount, unit, text, status);
    if (U_FAILURE(status)) return std::string(Texts::missing);
    std::string out;
    text.toUTF8String(out);
    return out;
}

class Card {
public:
    Card(const WidgetStatusContent& content, const Options& options)
        : c_(content),
          o_(options),
          size_(size(content.size)),
          locale_(cardLocale(content.strings
                                 ? content.strings->resolvedLanguage(content.language())
                                 : WidgetStrings::shared().resolvedLanguage(content.language()))),
          font_(WidgetFont::forLanguage(locale_.getLanguage(), locale_.getScript())),
          links_(content.linksEnabled && WidgetRoute::isValidScheme(options.scheme)) {}

    std::string render() {
        const std::string W = num(size_.width), H = num(size_.height), P = escape(o_.idPrefix);
        out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + W + "\" height=\"" + H +
                "\" viewBox=\"0 0 " + W + " " + H + "\" class=\"card " +
                std::string(toText(c_.size)) + "\" data-freshness=\"" + freshnessText() + "\">\n";
        out_ += "<title>" + escape(c_.text(Texts::appName)) + "</title>\n";
        out_ += style();
        WidgetColor color = WidgetColor::trend();
        out_ += "<defs><linearGradient id=\"" + P +
                "-trend\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\">"
                "<stop offset=\"0\" stop-color=\"" +
                color.hex() +
                "\" stop-opacity=\"0.38\"/>"
                "<stop offset=\"1\" stop-color=\"" +
                color.hex() +
                "\" stop-opacity=\"0.03\"/>"
                "</linearGradient><clipPath id=\"" +
                P + "-clip\"><rect width=\"" + W + "\" height=\"" + H +
                "\" rx=\"22\"/></clipPath></defs>\n";
        out_ += "<g clip-path=\"url(#" + P + "-clip)\">\n";
        std::string background =
            "<rect class=\"background\" width=\"" + W + "\" height=\"" + H + "\"/>";
        if (o_.widgetURL && links_) {
            out_ += "<a class=\"widget-link\" href=\"" + escape(*o_.widgetURL) + "\">" +
                    background + "</a>\n";
        } else {
            out_ += background + "\n";
        }
        out_ += "<g class=\"content\">\n";
        header();
        switch (c_.size) {
            case WidgetCardSize::small: small(); break;
            case WidgetCardSize::medium: medium(); break;
            case WidgetCardSize::large: large(); break;
        }
        out_ += "</g>\n</g>\n</svg>\n";
        return out_;
    }

private:
    std::string freshnessText() const {
        if (!c_.snapshot) return "none";
        switch (c_.freshness()) {
            case WidgetFreshness::recent: return "recent";
            case WidgetFreshness::previous: return "previous";
            case WidgetFreshness::paused: return "paused";
            case WidgetFreshness::unavailable: break;
        }
        return "unavailable";
    }

    static std::string colors(const Palette& p) {
        return ".background { fill: " + p.background.hex() + "; } .tile { fill: " + p.tile.hex() +
               "; }\ntext { fill: " + p.text.hex() + "; } .symbol { color: " + p.text.hex() +
               "; }\ntext.secondary, tspan.secondary { fill: " + p.secondary.hex() +
               "; } text.attention { fill: " + p.attention.hex() + "; }\n";
    }

    std::string style() const {
        return std::string("<style>\n") + "text { font-family: " + font_.family +
               "; font-variant-numeric: tabular-nums;"
               " font-feature-settings: 'tnum'; white-space: pre; }\n" +
               colors(Palette::light()) +
               ".content { pointer-events: none; }\n"
               ".content a { pointer-events: auto; cursor: pointer; }\n"
               "@media (prefers-color-scheme: dark) {\n" +
               colors(Palette::dark()) + "}\n</style>\n";
    }

    // `text` at `fontSize` when it fits `room`; else shrunk as far as `smallest` and, if it
    // still does not fit, cut there. Returns the text and the font size to draw it with.
    std::pair<std::string, double> fitted(const std::string& text, double room, double fontSize,
                                          double smallest) const {
        double needed = font_.width(text, fontSize);
        if (needed <= room) return {text, fontSize};
        double size = std::max(smallest, std::floor(fontSize * room / needed * 10) / 10);
        return {font_.fit(text, room, size), size};
    }

    // A text element; `body` is already escaped markup.
    void text(double x, double y, double fontSize, const std::string& body,
              const std::string& cls = "", int weight = 400, const char* anchor = "start") {
        // Spaces are part of the texts (" · ", a mode named with two spaces): kept as written.
        out_ += "<text xml:space=\"preserve\" x=\"" + num(x) + "\" y=\"" + num(y) +
                "\" font-size=\"" + num(fontSize) + "\"";
        if (weight != 400) out_ += " font-weight=\"" + std::to_string(weight) + "\"";
        if (std::string_view(anchor) != "start")
            out_ += " text-anchor=\"" + std::string(anchor) + "\"";
        if (!cls.empty()) out_ += " class=\"" + cls + "\"";
        out_ += ">" + body + "</text>\n";
    }

    void openLink(WidgetMetric metric) {
        if (links_) {
            out_ += "<a class=\"metric-link\" href=\"" +
                    escape(WidgetRoute::metric(metric).url(o_.scheme)) + "\">";
        }
    }
    void closeLink() {
        if (links_) out_ += "</a>\n";
    }

    void symbol(std::string_view name, double x, double y, double s) {
        out_ += WidgetSymbols::svg(name, x, y, s, "currentColor") + "\n";
    }

    void trend(WidgetMetric metric, double x, double y, double w, double h) {
        WidgetTrend::Paths paths = c_.trend(metric).paths({w, h});
        std::string color = WidgetColor::trend().hex();
        out_ += "<g class=\"trend\" data-metric=\"" + std::string(toText(metric)) +
                "\" transform=\"translate(" + num(x) + " " + num(y) + ")\">";
        out_ += "<path class=\"trend-area\" d=\"" + paths.area.svg() + "\" fill=\"url(#" +
                escape(o_.idPrefix) + "-trend)\"/>";
        out_ += "<path class=\"trend-line\" d=\"" + paths.line.svg() +
                "\" fill=\"none\" stroke=\"" + color +
                "\" stroke-width=\"1.6\" stroke-linejoin=\"round\" stroke-linecap=\"round\"/>";
        out_ += "</g>\n";
    }

    void header() {
        symbol("thermometer.medium", padding - 1, 14, 13);
        std::string title = c_.text(Texts::appName);
        text(padding + 15, 25, 11, escape(title), "header", 600);
        if (c_.size != WidgetCardSize::small) {
            std::string cls = c_.freshness() == WidgetFreshness::recent && c_.snapshot
                                  ? "status secondary"
                                  : "status attention";
            double titleEnd = padding + 15 + font_.width(title, 11) * semibold;
            auto [label, fontSize] =
                fitted(c_.statusLabel(), size_.width - padding - titleEnd - rowGap, 9, 8);
            text(size_.width - padding, 25, fontSize, escape(label), cls, 400, "end");
        }
    }

    std::string relative() const {
        if (!c_.snapshot) return std::string(Texts::missing);
        return relativeTime(c_.snapshot->date, c_.date, locale_);
    }

    void small() {
        const double inner = size_.width - 2 * padding;
        openLink(WidgetMetric::cpuTemperature);
        text(padding, 64, 32,
             escape(c_.number(WidgetMetric::cpuTemperature)) + "<tspan font-size=\"22\">" +
                 escape(c_.text(Texts::degree)) + "</tspan>",
             "figure", 600);
        closeLink();
        openLink(WidgetMetric::cpuUsage);
        text(padding, 82, 12, "CPU " + escape(c_.number(WidgetMetric::cpuUsage)) + "%", "figure",
             500);
        closeLink();
        openLink(WidgetMetric::fan);
        text(padding, 98, 12,
             escape(c_.number(WidgetMetric::fan)) + escape(c_.text(Texts::rpmUnit)), "figure", 500);
        closeLink();
        trend(WidgetMetric::cpuUsage, padding, 105, inner, 22);
        auto [mode, modeSize] = fitted(c_.modeText(), inner, 10, 8.5);
        text(padding, 142, modeSize, escape(mode), "mode");
        std::string footer = c_.footerLabel() + c_.text(Texts::separator) + relative();
        auto [line, footerSize] = fitted(footer, inner, 9, 8);
        text(padding, 157, footerSize, escape(line), "footer secondary");
    }

    void tileFigure(WidgetMetric metric, double x, double y, double fontSize) {
        std::string unit(WidgetStatusContent::unit(metric));
        std::string body = escape(c_.number(metric));
        if (!unit.empty()) {
            body += "<tspan font-size=\"" + num(fontSize * 0.6) + "\" class=\"secondary\">" +
                    escape(c_.text(unit)) + "</tspan>";
        } else if (metric == WidgetMetric::fan) {
            body += "<tspan font-size=\"" + num(fontSize * 0.45) + "\" class=\"secondary\">" +
                    escape(c_.text(Texts::rpmUnit)) + "</tspan>";
        }
        text(x, y, fontSize, body, "figure", 600);
    }

    static const char* symbolName(WidgetMetric metric) {
        switch (metric) {
            case WidgetMetric::cpuUsage: return "cpu";
            case WidgetMetric::fan: return "fanblades";
            default: return "thermometer.medium";
        }
    }

    // tile(_:title:symbol:) — one metric with its symbol, title, figure and trend.
    void tile(WidgetMetric metric, double x, double y, double w, double h) {
        openLink(metric);
        out_ += "<rect class=\"tile\" x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
                "\" height=\"" + num(h) + "\" rx=\"12\"/>\n";
        symbol(symbolName(metric), x + 7, y + 8, 12);
        auto [title, titleSize] =
            fitted(c_.text(WidgetStatusContent::title(metric)), w - 22 - 5, 9.5, 8);
        text(x + 22, y + 18, titleSize, escape(title), "title secondary");
        tileFigure(metric, x + 8, y + 47, 22);
        trend(metric, x + 8, y + 55, w - 16, h - 63);
        closeLink();
    }

    // Two texts in one row, the first at the left and the second at the right, sharing the
    // row as `share` says.
    void row(double y, double fontSize, const std::string& left, const std::string& leftClass,
             const std::string& right, const std::string& rightClass) {
        const double inner = size_.width - 2 * padding;
        auto [leftRoom, rightRoom] =
            share(font_.width(left, fontSize), font_.width(right, fontSize), inner);
        text(padding, y, fontSize, escape(font_.fit(left, leftRoom, fontSize)), leftClass);
        text(size_.width - padding, y, fontSize, escape(font_.fit(right, rightRoom, fontSize)),
             rightClass, 400, "end");
    }

    void footer(double y) {
        row(y, 9, c_.footerLabel(), "footer secondary", relative(), "footer-time secondary");
        row(y + 16, 10, c_.modeText(), "mode",
            c_.text(Texts::turbo) + c_.text(Texts::separator) + c_.turboText(), "turbo");
    }

    void medium() {
        const double gap = 8;
        const double w = (size_.width - 2 * padding - 2 * gap) / 3;
        const WidgetMetric metrics[] = {WidgetMetric::cpuTemperature, WidgetMetric::cpuUsage,
                                        WidgetMetric::fan};
        for (int i = 0; i < 3; ++i) tile(metrics[i], padding + i * (w + gap), 36, w, 90);
        footer(142);
    }

    void large() {
        const double inner = size_.width - 2 * padding;
        const WidgetMetric metrics[] = {WidgetMetric::cpuTemperature, WidgetMetric::cpuUsage,
                                        WidgetMetric::fan};
        for (int i = 0; i < 3; ++i) {
            WidgetMetric metric = metrics[i];
            double y = 36 + i * 60;
            out_ += "<rect class=\"tile\" x=\"" + num(padding) + "\" y=\"" + num(y) +
                    "\" width=\"" + num(inner) + "\" height=\"54\" rx=\"12\"/>\n";
            symbol(symbolName(metric), padding + 9, y + 8, 12);
            auto [title, titleSize] =
                fitted(c_.text(WidgetStatusContent::title(metric)), 110, 11, 9);
            text(padding + 25, y + 18, titleSize, escape(title), "title secondary");
            openLink(metric);
            tileFigure(metric, padding + 9, y + 45, 24);
            closeLink();
            trend(metric, padding + 140, y + 8, inner - 150, 38);
        }
        if (c_.showsValues()) {
            double y = 233;
            for (const WidgetFan& fan : c_.snapshot->fans) {
                text(padding, y, 11, escape(font_.fit(c_.fanText(fan), inner, 11)), "fan");
                y += 14;
            }
        }
        footer(size_.height - 38);
    }

    const WidgetStatusContent& c_;
    const Options& o_;
    WidgetSize size_;
    icu::Locale locale_;
    WidgetFont font_;
    bool links_;
    std::string out_;
};

}  // namespace

Palette Palette::light() {
    return {rgb(0xececec), rgb(0xe1e1e1), rgb(0x1d1d1f), rgb(0x5e5e63), rgb(0x9c4f00)};
}

Palette Palette::dark() {
    return {rgb(0x2a2a2c), rgb(0x373739), rgb(0xf5f5f7), rgb(0xaeaeb2), rgb(0xff9f0a)};
}

WidgetSize size(WidgetCardSize size) {
    switch (size) {
        case WidgetCardSize::small: return {170, 170};
        case WidgetCardSize::medium: return {364, 170};
        case WidgetCardSize::large: return {364, 382};
    }
    return {170, 170};
}

std::string svg(const WidgetStatusContent& content, const Options& options) {
    return Card(content, options).render();
}

}  // namespace pyrelle::WidgetCardRenderer
