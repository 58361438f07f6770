#include "pyrelle/Export.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>

namespace pyrelle::Export {

namespace {

// Unix seconds of 0001-01-01T00:00:00Z and 10000-01-01T00:00:00Z.
constexpr double firstUnix = -62135596800.0;
constexpr double endUnix = 253402300800.0;

void put2(char* out, unsigned value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// Formats whole-second UTC timestamps; remembers the last day's "YYYY-MM-DD" because
// consecutive snapshots nearly always share it.
class TimestampWriter {
public:
    void append(std::string& out, Date date) {
        const double unix = std::floor(date.unixTime());
        if (!std::isfinite(unix) || unix < firstUnix || unix >= endUnix) return;
        const auto whole = static_cast<std::int64_t>(unix);
        std::int64_t days = whole / 86400;
        std::int64_t rest = whole % 86400;
        if (rest < 0) {
            rest += 86400;
            --days;
        }
        if (days != cachedDay_) {
            cachedDay_ = days;
            writeDay(days);
        }
        char time[10];
        put2(time, static_cast<unsigned>(rest / 3600));
        time[2] = ':';
        put2(time + 3, static_cast<unsigned>(rest / 60 % 60));
        time[5] = ':';
        put2(time + 6, static_cast<unsigned>(rest % 60));
        time[8] = 'Z';
        out.append(day_, 11);
        out.append(time, 9);
    }

private:
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    void writeDay(std::int64_t days) {
        const std::int64_t z = days + 719468;
        const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
        const auto doe = static_cast<unsigned>(z - era * 146097);
        const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        const unsigned mp = (5 * doy + 2) / 153;
        const unsigned d = doy - (153 * mp + 2) / 5 + 1;
        const unsigned m = mp < 10 ? mp + 3 : mp - 9;
        const auto y = static_cast<unsigned>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
        put2(day_, y / 100);
        put2(day_ + 2, y % 100);
        day_[4] = '-';
        put2(day_ + 5, m);
        day_[7] = '-';
        put2(day_ + 8, d);
        day_[10] = 'T';
    }

    std::int64_t cachedDay_ = INT64_MIN;
    char day_[11] = {};
};

// "%.2f" of the exact double, never localised: to_chars rounds as the C locale's printf does.
void appendFixed2(std::string& out, double value) {
    char buffer[352];  // enough for the widest double in fixed notation
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    out.append(buffer, result.ptr);
}

void appendInteger(std::string& out, long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendOptional(std::string& out, const std::optional<double>& value) {
    if (value) appendFixed2(out, *value);
}

void appendOptional(std::string& out, const std::optional<int>& value) {
    if (value) appendInteger(out, *value);
}

}  // namespace

std::string csv(std::span<const Snapshot> snapshots) {
    std::string out;
    // A typical line is 80-110 bytes; one reservation avoids regrowth for ordinary exports.
    out.reserve(csvHeader.size() + 1 + snapshots.size() * 112);
    out.append(csvHeader);
    out += '\n';

    TimestampWriter timestamps;
    for (const Snapshot& s : snapshots) {
        timestamps.append(out, s.date);
        out += ',';
        appendOptional(out, s.cpuUsage);
        out += ',';
        appendOptional(out, s.cpuTemperature());
        out += ',';
        appendOptional(out, s.speedLimit);
        out += ',';
        appendOptional(out, s.schedulerLimit);
        out += ',';
        appendOptional(out, s.availableCPUs);
        out += ',';
        appendInteger(out, s.totalCPUs);
        out += ',';
        appendInteger(out, s.thermalState);
        out += ',';
        appendOptional(out, s.thermalWarning);
        out += ',';
        out.append(toText(s.turbo));
        out += ',';
        if (s.acPower) out += *s.acPower ? '1' : '0';
        out += ',';
        out += s.lowPower ? '1' : '0';

        const FanReading* fans[2] = {nullptr, nullptr};
        for (const FanReading& fan : s.fans) {
            if (fan.id >= 0 && fan.id < 2 && fans[fan.id] == nullptr) fans[fan.id] = &fan;
        }
        for (const FanReading* fan : fans) {
            out += ',';
            if (fan != nullptr) appendOptional(out, fan->rpm);
        }
        out += '\n';
    }
    return out;
}

}  // namespace pyrelle::Export
