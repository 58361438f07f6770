#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/Date.hpp"
#include "pyrelle/PowerBackup.hpp"

namespace pyrelle {

// The result of applying a plan (`backup` present exactly when something changed) or of
// restoring a backup (`skipped` counts entries left alone because they changed outside).
struct PowerOutcome {
    std::optional<PowerBackup> backup;
    bool changed = false;
    std::int64_t skipped = 0;
    std::optional<Date> startedAt;  // just before the first change; apply only

    bool operator==(const PowerOutcome&) const = default;
};

// JSON: {"backup"?, "changed", "skipped", "startedAt"?}; dates as seconds since 2001.
void to_json(nlohmann::json& json, const PowerOutcome& outcome);
void from_json(const nlohmann::json& json, PowerOutcome& outcome);

}  // namespace pyrelle
