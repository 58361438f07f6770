#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/PowerSetting.hpp"
#include "pyrelle/PowerSource.hpp"

namespace pyrelle {

// One setting a power transaction changed: its value before and the value written.
struct PowerEdit {
    PowerSource source = PowerSource::ac;
    PowerSetting key = PowerSetting::sleep;
    std::int64_t before = 0;
    std::int64_t after = 0;

    // "{source}:{key}", e.g. "ac:sleep".
    std::string id() const;

    bool operator==(const PowerEdit&) const = default;
};

// JSON: {"source", "key", "before", "after"}, all required.
void to_json(nlohmann::json& json, const PowerEdit& edit);
void from_json(const nlohmann::json& json, PowerEdit& edit);

}  // namespace pyrelle
