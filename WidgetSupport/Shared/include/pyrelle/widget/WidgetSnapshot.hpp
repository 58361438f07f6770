#pragma once
// WidgetSnapshot: the content of the widget's status file, written by the desktop
// application and read by the widget. Every snapshot built or decoded is cleaned, so a
// reader can trust the ranges below; fields stay settable and are not cleaned again.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/widget/WidgetFan.hpp"
#include "pyrelle/widget/WidgetFreshness.hpp"
#include "pyrelle/widget/WidgetMetric.hpp"
#include "pyrelle/widget/WidgetPoint.hpp"

namespace pyrelle {

struct WidgetSnapshot {
    using Trends = std::map<std::string, std::vector<WidgetPoint>>;

    // Largest status file accepted; anything bigger is refused before parsing.
    static constexpr std::size_t maximumFileSize = 262144;
    // Only points from this many seconds before `date` up to `date` are kept.
    static constexpr double trendWindow = 300;
    static constexpr std::size_t maximumTrendPoints = 120;
    static constexpr std::size_t fansExamined = 64;
    static constexpr std::size_t maximumFans = 8;
    static constexpr std::int64_t maximumFanID = 31;
    static constexpr std::size_t maximumLabelLength = 100;    // mode, turbo (characters)
    static constexpr std::size_t maximumLanguageLength = 20;  // characters

    std::int64_t schema = 1;
    double date = 0;                           // seconds since 2001-01-01T00:00:00Z
    std::optional<double> cpuTemperature;      // °C, 0…150
    std::optional<double> gpuTemperature;      // °C, 0…150
    std::optional<double> storageTemperature;  // °C, 0…150
    std::optional<double> cpuUsage;            // percent, 0…100
    std::vector<WidgetFan> fans;
    // The three texts hold no bidi controls (see WidgetText::withoutBidiControls).
    std::string mode;
    std::string turbo;
    std::string language;
    bool running = false;
    Trends trends;  // exactly the five metric texts after cleaning

    // An empty, clean snapshot dated at the reference instant.
    WidgetSnapshot();
    // Applies every cleaning rule to the given values.
    WidgetSnapshot(double date, std::optional<double> cpuTemperature,
                   std::optional<double> gpuTemperature, std::optional<double> storageTemperature,
                   std::optional<double> cpuUsage, std::vector<WidgetFan> fans, std::string mode,
                   std::string turbo, std::string language, bool running, Trends trends);

    // Decodes and cleans a status file's bytes. Throws WidgetDataError when the data is
    // larger than `maximumFileSize`, the schema is not 1 or the date is not finite, and
    // nlohmann::json::exception when the bytes are not JSON of the expected shape.
    static WidgetSnapshot decode(std::span<const std::byte> data);
    static WidgetSnapshot decode(std::string_view data);

    // Compact JSON of the snapshot. Throws WidgetDataError when a field holds something
    // JSON cannot carry (a non-finite number, text that is not UTF-8).
    std::string encode() const;

    // The current reading of `metric`; for `fan` the fastest fan's speed.
    std::optional<double> value(WidgetMetric metric) const;
    // How current the snapshot is at `now` (seconds since 2001-01-01T00:00:00Z).
    WidgetFreshness freshness(double now) const;

    bool operator==(const WidgetSnapshot&) const = default;
};

// Strict decoding of every field, then cleaning. Throws nlohmann::json::exception or
// WidgetDataError as `decode` does.
void from_json(const nlohmann::json& json, WidgetSnapshot& snapshot);
void to_json(nlohmann::json& json, const WidgetSnapshot& snapshot);

}  // namespace pyrelle
