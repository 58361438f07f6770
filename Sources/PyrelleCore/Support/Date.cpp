#include "pyrelle/Date.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "pyrelle/ScopeError.hpp"

namespace pyrelle {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool isLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(int64_t y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Reads exactly `count` digits at `pos`.
bool digits(std::string_view text, size_t& pos, size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    out = value;
    return true;
}

bool expect(std::string_view text, size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// Unix seconds of 0001-01-01 and 10000-01-01: the range with a four-digit year.
constexpr double kFirstUnix = -62135596800.0;
constexpr double kLastUnix = 253402300800.0;

}  // namespace

Date Date::now() {
    using namespace std::chrono;
    const auto since = system_clock::now().time_since_epoch();
    return fromUnixTime(duration_cast<duration<double>>(since).count());
}

bool Date::isFinite() const {
    return std::isfinite(seconds_);
}

std::string Date::iso8601() const {
    const double unix = std::floor(unixTime());
    if (!std::isfinite(unix) || unix < kFirstUnix || unix >= kLastUnix) return {};
    const auto whole = static_cast<int64_t>(unix);
    int64_t days = whole / 86400;
    int64_t rest = whole % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), m, d, static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return buffer;
}

std::optional<Date> Date::parseISO8601(std::string_view text) {
    size_t pos = 0;
    int year, month, day, hour, minute, second;
    if (!digits(text, pos, 4, year) || !expect(text, pos, '-') || !digits(text, pos, 2, month) ||
        !expect(text, pos, '-') || !digits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !digits(text, pos, 2, hour) || !expect(text, pos, ':') || !digits(text, pos, 2, minute) ||
        !expect(text, pos, ':') || !digits(text, pos, 2, second))
        return std::nullopt;
    if (year < 1 || month < 1 || month > 12 || day < 1 ||
        day > static_cast<int>(daysInMonth(year, month)) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    double fraction = 0;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
        ++pos;
        double scale = 0.1;
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fraction += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    int offsetSeconds = 0;
    if (pos >= text.size()) return std::nullopt;
    if (text[pos] == 'Z') {
        ++pos;
    } else if (text[pos] == '+' || text[pos] == '-') {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        int oh, om;
        if (!digits(text, pos, 2, oh)) return std::nullopt;
        if (pos < text.size() && text[pos] == ':') ++pos;
        if (!digits(text, pos, 2, om) || oh > 23 || om > 59) return std::nullopt;
        offsetSeconds = sign * (oh * 3600 + om * 60);
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    const int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const double unix =
        static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - offsetSeconds) +
        fraction;
    return Date::fromUnixTime(unix);
}

void to_json(nlohmann::json& json, const Date& date) {
    if (date.isFinite())
        json = date.secondsSinceReferenceDate();
    else
        json = nullptr;
}

void from_json(const nlohmann::json& json, Date& date) {
    if (json.is_number()) {
        date = Date(json.get<double>());
        return;
    }
    if (json.is_string()) {
        if (auto parsed = Date::parseISO8601(json.get_ref<const std::string&>())) {
            date = *parsed;
            return;
        }
        throw ScopeError("JSON 解码失败：日期文本不是 ISO 8601 格式");
    }
    throw ScopeError("JSON 解码失败：日期应为数字或 ISO 8601 文本");
}

nlohmann::json iso8601JSON(const Date& date) {
    auto text = date.iso8601();
    if (!text.empty()) return text;
    // No four-digit-year text exists for this instant; the number still decodes back.
    nlohmann::json number;
    to_json(number, date);
    return number;
}

}  // namespace pyrelle
