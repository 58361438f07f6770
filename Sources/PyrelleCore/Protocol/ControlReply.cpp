#include "pyrelle/ControlReply.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "../Support/JSONDecoding.hpp"
#include "TextExcerpt.hpp"

namespace pyrelle {

ControlReply ControlReply::failure(std::string message) {
    ControlReply reply;
    reply.ok = false;
    reply.message = std::move(message);
    return reply;
}

namespace {

// Bytes of the reply line as the channel would write it (invalid UTF-8 replaced, as it does).
size_t encodedSize(const ControlReply& reply) {
    return nlohmann::json(reply)
               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
               .size() +
           1;
}

}  // namespace

ControlReply ControlReply::fitted(size_t limit) const {
    if (encodedSize(*this) <= limit) return *this;
    // Escaping makes a byte of text cost one to six bytes of the line, so search for the
    // longest excerpt that fits; a longer excerpt never encodes shorter.
    ControlReply reply = *this;
    size_t low = 0, high = message.size();  // excerpt(low) fits (or nothing does); high does not
    while (high - low > 1) {
        const size_t middle = low + (high - low) / 2;
        reply.message = protocol::excerpt(message, middle);
        (encodedSize(reply) <= limit ? low : high) = middle;
    }
    reply.message = protocol::excerpt(message, low);
    return reply;
}

void to_json(nlohmann::json& json, const FanSessionStatus& status) {
    json = nlohmann::json{{"remainingSeconds", status.remainingSeconds},
                          {"targets", status.targets},
                          {"protectionActive", status.protectionActive}};
}

void from_json(const nlohmann::json& json, FanSessionStatus& status) {
    jsondecode::object(json, "风扇会话状态");
    FanSessionStatus decoded;
    decoded.remainingSeconds =
        jsondecode::number(jsondecode::required(json, "remainingSeconds"), "remainingSeconds");
    const auto& targets = jsondecode::required(json, "targets");
    if (!targets.is_array()) jsondecode::fail("targets", "应为数组");
    for (const auto& target : targets) decoded.targets.push_back(target.get<FanTarget>());
    decoded.protectionActive =
        jsondecode::boolean(jsondecode::required(json, "protectionActive"), "protectionActive");
    status = std::move(decoded);
}

void to_json(nlohmann::json& json, const ControlReply& reply) {
    json = nlohmann::json{{"ok", reply.ok}, {"message", reply.message}};
    if (reply.session) json["session"] = *reply.session;
    if (reply.profile) json["profile"] = *reply.profile;
    if (reply.label) json["label"] = *reply.label;
    if (reply.turbo) json["turbo"] = *reply.turbo;
    if (reply.power) json["power"] = *reply.power;
    if (reply.fanStatus) json["fanStatus"] = *reply.fanStatus;
}

void from_json(const nlohmann::json& json, ControlReply& reply) {
    jsondecode::object(json, "控制回复");
    ControlReply decoded;
    decoded.ok = jsondecode::boolean(jsondecode::required(json, "ok"), "ok");
    decoded.message = jsondecode::text(jsondecode::required(json, "message"), "message");
    if (const auto* v = jsondecode::optional(json, "session")) {
        decoded.session = jsondecode::text(*v, "session");
    }
    if (const auto* v = jsondecode::optional(json, "profile")) {
        decoded.profile = jsondecode::text(*v, "profile");
    }
    if (const auto* v = jsondecode::optional(json, "label")) {
        decoded.label = jsondecode::text(*v, "label");
    }
    if (const auto* v = jsondecode::optional(json, "turbo")) {
        decoded.turbo = static_cast<int>(jsondecode::integer(*v, "turbo"));
    }
    if (const auto* v = jsondecode::optional(json, "power")) decoded.power = v->get<PowerOutcome>();
    if (const auto* v = jsondecode::optional(json, "fanStatus")) {
        decoded.fanStatus = v->get<FanSessionStatus>();
    }
    reply = std::move(decoded);
}

}  // namespace pyrelle
