#include "pyrelle/PowerEdit.hpp"

#include "PowerCoding.hpp"

namespace pyrelle {

std::string PowerEdit::id() const {
    return std::string(toText(source)) + ":" + std::string(toText(key));
}

void to_json(nlohmann::json& json, const PowerEdit& edit) {
    json = nlohmann::json{
        {"source", edit.source}, {"key", edit.key}, {"before", edit.before}, {"after", edit.after}};
}

void from_json(const nlohmann::json& json, PowerEdit& edit) {
    using namespace powercoding;
    object(json, "PowerEdit");
    PowerEdit decoded;
    decoded.source = required(json, "source").get<PowerSource>();
    decoded.key = required(json, "key").get<PowerSetting>();
    decoded.before = integer(required(json, "before"), "before");
    decoded.after = integer(required(json, "after"), "after");
    edit = decoded;
}

}  // namespace pyrelle
