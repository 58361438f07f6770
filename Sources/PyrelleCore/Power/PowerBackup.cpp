#include "pyrelle/PowerBackup.hpp"

#include <set>

#include <uuid/uuid.h>

#include "PowerCoding.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle {

namespace {

const char* const invalidBackup = "恢复记录无效";

// Three settings on two sources.
constexpr size_t maximumEdits = 6;

std::string uuidText(const uuid_t uuid) {
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

}  // namespace

PowerBackup PowerBackup::create(std::vector<PowerEdit> edits,
                                std::optional<std::int64_t> turboBefore, Date date) {
    uuid_t uuid;
    uuid_generate_random(uuid);
    return PowerBackup{uuidText(uuid), date, std::move(edits), turboBefore};
}

void PowerBackup::validate() const {
    if (edits.size() > maximumEdits) throw ScopeError(invalidBackup);
    std::set<std::string> ids;
    for (const PowerEdit& edit : edits) {
        if (!ids.insert(edit.id()).second) throw ScopeError(invalidBackup);
        if (!valid(edit.key, edit.before) || !valid(edit.key, edit.after))
            throw ScopeError(invalidBackup);
    }
    if (turboBefore && *turboBefore != 0 && *turboBefore != 1) throw ScopeError(invalidBackup);
}

void to_json(nlohmann::json& json, const PowerBackup& backup) {
    json = nlohmann::json{{"id", backup.id}, {"date", backup.date}, {"edits", backup.edits}};
    if (backup.turboBefore) json["turboBefore"] = *backup.turboBefore;
}

void from_json(const nlohmann::json& json, PowerBackup& backup) {
    using namespace powercoding;
    object(json, "PowerBackup");
    PowerBackup decoded;
    const std::string& id = text(required(json, "id"), "id");
    uuid_t uuid;
    // uuid_parse reads a C string; the length check keeps embedded NULs from truncating it.
    if (id.size() != 36 || uuid_parse(id.c_str(), uuid) != 0) fail("id 不是有效的 UUID");
    decoded.id = uuidText(uuid);
    decoded.date = required(json, "date").get<Date>();
    const auto& edits = required(json, "edits");
    if (!edits.is_array()) fail("edits 应为数组");
    for (const auto& edit : edits) decoded.edits.push_back(edit.get<PowerEdit>());
    decoded.turboBefore = optionalInteger(json, "turboBefore");
    backup = std::move(decoded);
}

}  // namespace pyrelle
