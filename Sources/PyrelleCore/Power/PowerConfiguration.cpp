#include "pyrelle/PowerConfiguration.hpp"

#include <set>
#include <string>
#include <vector>

#include "PowerCoding.hpp"

namespace pyrelle {

std::optional<std::int64_t> PowerConfiguration::value(PowerSetting setting,
                                                      PowerSource source) const {
    const auto profile = profiles.find(source);
    if (profile == profiles.end()) return std::nullopt;
    const auto entry = profile->second.find(setting);
    if (entry == profile->second.end()) return std::nullopt;
    return entry->second;
}

namespace {

// Length of the line break starting at `at` (0 when there is none): the ASCII breaks and
// U+0085, U+2028, U+2029 in UTF-8.
size_t lineBreakLength(std::string_view text, size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\n' || byte == '\r' || byte == '\v' || byte == '\f') return 1;
    const auto next = [&](size_t offset) {
        return at + offset < text.size() ? static_cast<unsigned char>(text[at + offset]) : 0u;
    };
    if (byte == 0xC2 && next(1) == 0x85) return 2;
    if (byte == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) return 3;
    return 0;
}

// Length of the whitespace character starting at `at` (0 when there is none): ASCII
// spaces and tabs and the Unicode space separators in UTF-8.
size_t whitespaceLength(std::string_view text, size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == ' ' || byte == '\t') return 1;
    const auto next = [&](size_t offset) {
        return at + offset < text.size() ? static_cast<unsigned char>(text[at + offset]) : 0u;
    };
    if (byte == 0xC2 && next(1) == 0xA0) return 2;                     // U+00A0
    if (byte == 0xE1 && next(1) == 0x9A && next(2) == 0x80) return 3;  // U+1680
    if (byte == 0xE2 && next(1) == 0x80 && next(2) >= 0x80 && next(2) <= 0x8A)
        return 3;                                                      // U+2000-200A
    if (byte == 0xE2 && next(1) == 0x80 && next(2) == 0xAF) return 3;  // U+202F
    if (byte == 0xE2 && next(1) == 0x81 && next(2) == 0x9F) return 3;  // U+205F
    if (byte == 0xE3 && next(1) == 0x80 && next(2) == 0x80) return 3;  // U+3000
    return 0;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t length = lineBreakLength(text, at);
        if (length == 0) {
            ++at;
            continue;
        }
        lines.push_back(text.substr(start, at - start));
        at += length;
        start = at;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string_view trimSpacesAndTabs(std::string_view line) {
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = line.find_last_not_of(" \t");
    return line.substr(first, last - first + 1);
}

std::vector<std::string_view> splitTokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t at = 0;
    size_t start = 0;
    bool inToken = false;
    while (at < line.size()) {
        const size_t space = whitespaceLength(line, at);
        if (space > 0) {
            if (inToken) tokens.push_back(line.substr(start, at - start));
            inToken = false;
            at += space;
        } else {
            if (!inToken) start = at;
            inToken = true;
            ++at;
        }
    }
    if (inToken) tokens.push_back(line.substr(start));
    return tokens;
}

// A decimal integer: optional sign, then ASCII digits only. Values beyond 64 bits are not
// numbers at all (they could never be in range anyway).
std::optional<std::int64_t> decimalInteger(std::string_view token) {
    bool negative = false;
    if (!token.empty() && (token.front() == '+' || token.front() == '-')) {
        negative = token.front() == '-';
        token.remove_prefix(1);
    }
    if (token.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char digit : token) {
        if (digit < '0' || digit > '9') return std::nullopt;
        const auto value = static_cast<std::uint64_t>(digit - '0');
        if (magnitude > (UINT64_MAX - value) / 10) return std::nullopt;
        magnitude = magnitude * 10 + value;
    }
    if (negative) {
        if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
        return static_cast<std::int64_t>(0 - magnitude);
    }
    if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

// The text after a setting's value when it is one parenthesised note ("(sleep prevented by
// coreaudiod, powerd)"): the note without its parentheses. Absent for anything else.
std::optional<std::string_view> trailingNote(std::string_view line, std::string_view firstExtra) {
    const std::string_view rest = line.substr(static_cast<size_t>(firstExtra.data() - line.data()));
    if (rest.size() < 2 || rest.front() != '(' || rest.back() != ')') return std::nullopt;
    const std::string_view inner = rest.substr(1, rest.size() - 2);
    if (inner.find_first_of("()") != std::string_view::npos) return std::nullopt;
    return inner;
}

}  // namespace

PowerConfiguration PowerConfiguration::parse(std::string_view listing, Notes* notes) {
    PowerConfiguration configuration;
    Notes found;
    std::set<std::pair<PowerSource, PowerSetting>> seen;
    std::optional<PowerSource> current;

    for (std::string_view rawLine : splitLines(listing)) {
        const std::string_view line = trimSpacesAndTabs(rawLine);
        if (line == "AC Power:" || line == "Battery Power:") {
            current = line == "AC Power:" ? PowerSource::ac : PowerSource::battery;
            configuration.profiles[*current] = {};
            std::erase_if(found, [&](const auto& note) { return note.first.first == *current; });
            continue;
        }
        if (!current) continue;
        const auto tokens = splitTokens(line);
        if (tokens.size() < 2) continue;
        std::optional<std::string_view> note;
        if (tokens.size() > 2) {
            note = trailingNote(line, tokens[2]);
            if (!note) continue;
        }
        const auto setting = parsePowerSetting(tokens[0]);
        if (!setting) continue;
        const auto value = decimalInteger(tokens[1]);
        if (!value || !valid(*setting, *value)) continue;

        auto& profile = configuration.profiles[*current];
        if (seen.insert({*current, *setting}).second) {
            profile[*setting] = *value;
            if (note) found[{*current, *setting}] = std::string(*note);
        } else {
            // Listed twice for this source: neither value can be trusted.
            profile.erase(*setting);
            found.erase({*current, *setting});
        }
    }
    if (notes != nullptr) *notes = std::move(found);
    return configuration;
}

void to_json(nlohmann::json& json, const PowerConfiguration& configuration) {
    auto outer = nlohmann::json::array();
    for (const auto& [source, settings] : configuration.profiles) {
        auto inner = nlohmann::json::array();
        for (const auto& [setting, value] : settings) {
            inner.push_back(setting);
            inner.push_back(value);
        }
        outer.push_back(source);
        outer.push_back(std::move(inner));
    }
    json = nlohmann::json{{"profiles", std::move(outer)}};
}

void from_json(const nlohmann::json& json, PowerConfiguration& configuration) {
    using namespace powercoding;
    const auto& outer = required(object(json, "PowerConfiguration"), "profiles");
    if (!outer.is_array() || outer.size() % 2 != 0) fail("profiles 应为来源与设置数组交替的数组");
    PowerConfiguration decoded;
    for (size_t index = 0; index < outer.size(); index += 2) {
        const auto source = outer[index].get<PowerSource>();
        const auto& inner = outer[index + 1];
        if (!inner.is_array() || inner.size() % 2 != 0)
            fail("profiles 的设置应为设置项与整数交替的数组");
        PowerConfiguration::Settings settings;
        for (size_t entry = 0; entry < inner.size(); entry += 2) {
            settings[inner[entry].get<PowerSetting>()] = integer(inner[entry + 1], "profiles");
        }
        // A source listed twice keeps its last map, as a keyed container would.
        decoded.profiles[source] = std::move(settings);
    }
    configuration = std::move(decoded);
}

}  // namespace pyrelle
