#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/PowerSetting.hpp"
#include "pyrelle/PowerSource.hpp"

namespace pyrelle {

// The power settings of both sources as read from the system. A source or setting that is
// missing could not be read, or was listed ambiguously.
struct PowerConfiguration {
    using Settings = std::map<PowerSetting, std::int64_t>;

    std::map<PowerSource, Settings> profiles;

    // The setting's value on `source`; absent when either is missing.
    std::optional<std::int64_t> value(PowerSetting setting, PowerSource source) const;

    // Notes the settings tool prints after a value, such as "sleep prevented by coreaudiod"
    // after the AC sleep value while something keeps the machine awake; text inside the
    // parentheses, keyed by source and setting.
    using Notes = std::map<std::pair<PowerSource, PowerSetting>, std::string>;

    // Builds a configuration from the settings tool's listing ("-g custom"). The text is
    // untrusted: anything that is not a well-formed, in-range setting line under a source
    // header is ignored, and a setting listed twice for one source reads as missing. A value
    // may be followed by one parenthesised note, which does not make it unreadable; the notes
    // of the accepted lines go to `notes` when given.
    static PowerConfiguration parse(std::string_view listing, Notes* notes = nullptr);

    bool operator==(const PowerConfiguration&) const = default;
};

// JSON: {"profiles": [source, [setting, value, ...], ...]} — both maps as arrays of
// alternating keys and values, pairs in any order.
void to_json(nlohmann::json& json, const PowerConfiguration& configuration);
void from_json(const nlohmann::json& json, PowerConfiguration& configuration);

}  // namespace pyrelle
