#include "pyrelle/Export.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "pyrelle/DecimalText.hpp"

namespace pyrelle::Export {

namespace {

// Unix seconds of 0001-01-01T00:00:00Z and 10000-01-01T00:00:00Z.
constexpr double firstUnix = -62135596800.0;
constexpr double endUnix = 253402300800.0;

// Fixed-size line builder: every field of one line is written with plain stores and the line
// is appended to the text at once. A line's worst case (four 309-digit doubles) fits easily.
class Line {
public:
    void put(char c) { *cursor_++ = c; }
    void put(std::string_view text) {
        std::memcpy(cursor_, text.data(), text.size());
        cursor_ += text.size();
    }
    void put2(unsigned value) {
        cursor_[0] = static_cast<char>('0' + value / 10);
        cursor_[1] = static_cast<char>('0' + value % 10);
        cursor_ += 2;
    }
    // "%.2f" of the exact double, never localised.
    void fixed2(double value) { cursor_ = detail::writeFixed(cursor_, end(), value, 2); }
    void integer(long long value) { cursor_ = std::to_chars(cursor_, end(), value).ptr; }
    void optional(const std::optional<double>& value) {
        if (value) fixed2(*value);
    }
    void optional(const std::optional<int>& value) {
        if (value) integer(*value);
    }
    void flushTo(std::string& out) {
        out.append(buffer_, cursor_);
        cursor_ = buffer_;
    }

private:
    char* end() { return buffer_ + sizeof buffer_; }

    char buffer_[2048];
    char* cursor_ = buffer_;
};

// Formats whole-second UTC timestamps; remembers the last day's "YYYY-MM-DDT" because
// consecutive snapshots nearly always share it.
class TimestampWriter {
public:
    void write(Line& line, Date date) {
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
        line.put(std::string_view(day_, sizeof day_));
        line.put2(static_cast<unsigned>(rest / 3600));
        line.put(':');
        line.put2(static_cast<unsigned>(rest / 60 % 60));
        line.put(':');
        line.put2(static_cast<unsigned>(rest % 60));
        line.put('Z');
    }

private:
    static void put2(char* out, unsigned value) {
        out[0] = static_cast<char>('0' + value / 10);
        out[1] = static_cast<char>('0' + value % 10);
    }

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

}  // namespace

std::string csv(std::span<const Snapshot> snapshots) {
    std::string out;
    // A typical line is 80-110 bytes; one reservation avoids regrowth for ordinary exports.
    out.reserve(csvHeader.size() + 1 + snapshots.size() * 112);
    out.append(csvHeader);
    out += '\n';

    TimestampWriter timestamps;
    Line line;
    for (const Snapshot& s : snapshots) {
        timestamps.write(line, s.date);
        line.put(',');
        line.optional(s.cpuUsage);
        line.put(',');
        line.optional(s.cpuTemperature());
        line.put(',');
        line.optional(s.speedLimit);
        line.put(',');
        line.optional(s.schedulerLimit);
        line.put(',');
        line.optional(s.availableCPUs);
        line.put(',');
        line.integer(s.totalCPUs);
        line.put(',');
        line.integer(s.thermalState);
        line.put(',');
        line.optional(s.thermalWarning);
        line.put(',');
        line.put(toText(s.turbo));
        line.put(',');
        if (s.acPower) line.put(*s.acPower ? '1' : '0');
        line.put(',');
        line.put(s.lowPower ? '1' : '0');

        const FanReading* fans[2] = {nullptr, nullptr};
        for (const FanReading& fan : s.fans) {
            if (fan.id >= 0 && fan.id < 2 && fans[fan.id] == nullptr) fans[fan.id] = &fan;
        }
        for (const FanReading* fan : fans) {
            line.put(',');
            if (fan != nullptr) line.optional(fan->rpm);
        }
        line.put('\n');
        line.flushTo(out);
    }
    return out;
}

}  // namespace pyrelle::Export
