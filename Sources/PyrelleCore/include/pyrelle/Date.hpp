#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// An instant, as seconds since 2001-01-01T00:00:00Z (the reference date). The value may be
// non-finite; callers that need a real instant test `isFinite()`.
class Date {
public:
    // Seconds between the Unix epoch and the reference date.
    static constexpr double unixOffset = 978307200.0;

    constexpr Date() = default;
    constexpr explicit Date(double secondsSinceReferenceDate)
        : seconds_(secondsSinceReferenceDate) {}

    // The current wall-clock instant.
    static Date now();
    static constexpr Date fromUnixTime(double unixSeconds) {
        return Date(unixSeconds - unixOffset);
    }

    constexpr double secondsSinceReferenceDate() const { return seconds_; }
    constexpr double unixTime() const { return seconds_ + unixOffset; }
    bool isFinite() const;

    constexpr Date adding(double seconds) const { return Date(seconds_ + seconds); }
    // Seconds from `earlier` to this instant (negative when this one is earlier).
    constexpr double secondsSince(Date earlier) const { return seconds_ - earlier.seconds_; }

    // "2026-12-08T03:50:02Z": whole seconds (truncated toward the past), UTC. Empty for an
    // instant that is not finite or lies outside the years 0001-9999.
    std::string iso8601() const;

    // Parses ISO 8601 date-time text: "YYYY-MM-DDTHH:MM:SS", optional fraction, then "Z" or a
    // "+HH:MM"/"+HHMM" offset. Anything else gives no value.
    static std::optional<Date> parseISO8601(std::string_view text);

    friend constexpr bool operator==(Date, Date) = default;
    friend constexpr std::partial_ordering operator<=>(Date a, Date b) {
        return a.seconds_ <=> b.seconds_;
    }

private:
    double seconds_ = 0;
};

// JSON: written as the number of seconds since the reference date (non-finite becomes null);
// read from that number or from ISO 8601 text. A failure throws ScopeError.
void to_json(nlohmann::json& json, const Date& date);
void from_json(const nlohmann::json& json, Date& date);

// The ISO 8601 JSON form; an instant without a text form (outside the years 0001-9999) is
// written as its number instead, and a non-finite one as null.
nlohmann::json iso8601JSON(const Date& date);

}  // namespace pyrelle
