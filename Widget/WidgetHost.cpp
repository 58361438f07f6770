#include "WidgetHost.hpp"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include <nlohmann/json.hpp>

#include "StatusProvider.hpp"
#include "ThermalStatusWidget.hpp"
#include "pyrelle/widget/WidgetCardRenderer.hpp"
#include "pyrelle/widget/WidgetFile.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"

namespace pyrelle::WidgetHost {
namespace fs = std::filesystem;

namespace {

// Seconds between 1970-01-01 and 2001-01-01.
constexpr double referenceOffset = 978307200;

std::string iso8601(double date) {
    double unix = date + referenceOffset;
    if (!std::isfinite(unix) || std::fabs(unix) > 1e15) return "";
    std::time_t seconds = static_cast<std::time_t>(std::floor(unix));
    std::tm utc{};
    if (!gmtime_r(&seconds, &utc)) return "";
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

std::string freshnessText(const StatusEntry& entry) {
    if (!entry.snapshot) return "none";
    switch (entry.snapshot->freshness(entry.date)) {
        case WidgetFreshness::recent: return "recent";
        case WidgetFreshness::previous: return "previous";
        case WidgetFreshness::paused: return "paused";
        case WidgetFreshness::unavailable: break;
    }
    return "unavailable";
}

// Every output replaces its file atomically and never follows an entry planted under its
// name (another user's symbolic link in a shared directory overwrites nothing). The cards
// carry the status file's readings, so they are as private as it is.
void writeFile(const fs::path& path, const std::string& bytes) {
    WidgetFile::replace(path, bytes, 0600);
}

std::string cardName(std::size_t index, WidgetCardSize size) {
    return "entry-" + std::to_string(index) + "-" + std::string(toText(size));
}

// The card's markup for inlining into HTML (without its XML declaration).
std::string inlineSVG(const std::string& document) {
    std::size_t start = document.find("<svg");
    return start == std::string::npos ? document : document.substr(start);
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string usage() {
    return "usage: PyrelleWidget --out DIR [--status FILE] [--now SECONDS]\n"
           "  --out DIR        directory for the rendered cards, index.html and timeline.json\n"
           "  --status FILE    status file to read (default: the widget's status file)\n"
           "  --now SECONDS    the current time in seconds since 2001-01-01T00:00:00Z (default: "
           "the clock)\n";
}

std::variant<Options, std::string> parse(const std::vector<std::string>& arguments) {
    Options options;
    bool haveOut = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
        }
        if (argument != "--out" && argument != "--status" && argument != "--now") {
            return "unknown argument '" + argument + "'";
        }
        if (i + 1 >= arguments.size()) return "missing value after " + argument;
        const std::string& value = arguments[++i];
        if (value.empty()) return "empty value after " + argument;
        if (argument == "--out") {
            options.out = value;
            haveOut = true;
        } else if (argument == "--status") {
            options.status = fs::path(value);
        } else {
            char* end = nullptr;
            errno = 0;
            double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || errno == ERANGE ||
                !std::isfinite(seconds)) {
                return "--now needs a finite number of seconds since 2001-01-01, not '" + value +
                       "'";
            }
            options.now = seconds;
        }
    }
    if (!haveOut) return "missing --out DIR";
    return options;
}

double now() {
    using namespace std::chrono;
    double unix = duration<double>(system_clock::now().time_since_epoch()).count();
    return unix - referenceOffset;
}

void run(const Options& options) {
    double current = options.now.value_or(now());
    std::optional<fs::path> status = options.status;
    StatusProvider provider([status] { return WidgetStorage::read(status); });
    StatusTimeline timeline = provider.timeline(current);

    fs::create_directories(options.out);

    nlohmann::json entries = nlohmann::json::array();
    std::string rows;
    for (std::size_t i = 0; i < timeline.entries.size(); ++i) {
        const StatusEntry& entry = timeline.entries[i];
        nlohmann::json cards = nlohmann::json::object();
        std::string row;
        for (WidgetFamily family : ThermalStatusWidget::supportedFamilies) {
            StatusWidgetView view = ThermalStatusWidget::content(entry, family);
            std::string name = cardName(i, view.size());
            std::string document = view.body(name);
            writeFile(options.out / (name + ".svg"), document);
            cards[std::string(toText(view.size()))] = name + ".svg";
            row += "<figure class=\"" + std::string(toText(view.size())) + "\">" +
                   inlineSVG(document) + "<figcaption>" + name + ".svg</figcaption></figure>\n";
        }
        entries.push_back({{"date", entry.date},
                           {"time", iso8601(entry.date)},
                           {"snapshot", entry.snapshot.has_value()},
                           {"freshness", freshnessText(entry)},
                           {"cards", cards}});
        rows += "<section><h2>Entry " + std::to_string(i) + " · " +
                htmlEscape(iso8601(entry.date)) + " · " + freshnessText(entry) +
                "</h2>\n<div class=\"row\">\n" + row + "</div></section>\n";
    }

    nlohmann::json document = {{"kind", ThermalStatusWidget::kind},
                               {"displayName", ThermalStatusWidget::displayName},
                               {"description", ThermalStatusWidget::description()},
                               {"entries", entries},
                               {"reloadAfter", timeline.reloadAfter},
                               {"reloadAfterTime", iso8601(timeline.reloadAfter)}};
    writeFile(options.out / "timeline.json",
              document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");

    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                       std::string(ThermalStatusWidget::displayName) +
                       "</title>\n<style>\n"
                       "body { margin: 24px; background: #d9dde3; font: 13px system-ui, 'Noto "
                       "Sans', sans-serif; color: #333; }\n"
                       "h1 { font-size: 18px; margin: 0 0 4px; } p { margin: 0 0 16px; }\n"
                       "h2 { font-size: 13px; font-weight: 600; margin: 18px 0 8px; }\n"
                       ".row { display: flex; gap: 20px; align-items: flex-start; }\n"
                       "figure { margin: 0; } figure svg { display: block; filter: drop-shadow(0 "
                       "2px 6px rgba(0,0,0,.18)); }\n"
                       "figcaption { font-size: 11px; color: #666; margin-top: 6px; }\n"
                       "</style></head><body>\n<h1>" +
                       std::string(ThermalStatusWidget::displayName) + "</h1>\n<p>" +
                       htmlEscape(ThermalStatusWidget::description()) + " · reload after " +
                       htmlEscape(iso8601(timeline.reloadAfter)) + "</p>\n" + rows +
                       "</body></html>\n";
    writeFile(options.out / "index.html", html);
}

}  // namespace pyrelle::WidgetHost
