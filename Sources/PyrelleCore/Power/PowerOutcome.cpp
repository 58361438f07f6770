#include "pyrelle/PowerOutcome.hpp"

#include "PowerCoding.hpp"

namespace pyrelle {

void to_json(nlohmann::json& json, const PowerOutcome& outcome) {
    json = nlohmann::json{{"changed", outcome.changed}, {"skipped", outcome.skipped}};
    if (outcome.backup) json["backup"] = *outcome.backup;
    if (outcome.startedAt) json["startedAt"] = *outcome.startedAt;
}

void from_json(const nlohmann::json& json, PowerOutcome& outcome) {
    using namespace powercoding;
    object(json, "PowerOutcome");
    PowerOutcome decoded;
    if (const auto* backup = optional(json, "backup")) decoded.backup = backup->get<PowerBackup>();
    decoded.changed = boolean(required(json, "changed"), "changed");
    decoded.skipped = integer(required(json, "skipped"), "skipped");
    if (const auto* startedAt = optional(json, "startedAt"))
        decoded.startedAt = startedAt->get<Date>();
    outcome = std::move(decoded);
}

}  // namespace pyrelle
