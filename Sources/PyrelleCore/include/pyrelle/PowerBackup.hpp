#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/Date.hpp"
#include "pyrelle/PowerEdit.hpp"

namespace pyrelle {

// The undo record of a power transaction: every setting it changed, in order, and the
// turbo-driver state it switched away from. The application keeps it and sends it back.
struct PowerBackup {
    std::string id;  // UUID text, 36 characters, upper-case hexadecimal
    Date date;
    std::vector<PowerEdit> edits;
    std::optional<std::int64_t> turboBefore;  // present only when turbo was switched off

    // A backup with a fresh random id, dated `date` (now by default).
    static PowerBackup create(std::vector<PowerEdit> edits, std::optional<std::int64_t> turboBefore,
                              Date date = Date::now());

    // Rejects, with "恢复记录无效", a record no transaction could have produced: more than
    // six edits, two edits of one setting on one source, values outside the setting's
    // range, or a turbo state other than 0 or 1.
    void validate() const;

    bool operator==(const PowerBackup&) const = default;
};

// JSON: {"id": upper-case UUID text, "date": seconds since 2001, "edits": [...],
// "turboBefore"?: integer}. A lower-case id is accepted and normalised.
void to_json(nlohmann::json& json, const PowerBackup& backup);
void from_json(const nlohmann::json& json, PowerBackup& backup);

}  // namespace pyrelle
