#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/FanTarget.hpp"
#include "pyrelle/PowerOutcome.hpp"

namespace pyrelle {

// Progress of a fan session whose control is confirmed.
struct FanSessionStatus {
    double remainingSeconds = 0;  // never below 0
    std::vector<FanTarget> targets;
    bool protectionActive = false;

    friend bool operator==(const FanSessionStatus&, const FanSessionStatus&) = default;
};

// The helper's one reply to one request.
struct ControlReply {
    bool ok = false;
    std::string message;
    std::optional<std::string> session;
    std::optional<std::string> profile;
    std::optional<std::string> label;
    std::optional<int> turbo;
    std::optional<PowerOutcome> power;
    std::optional<FanSessionStatus> fanStatus;

    // Longest reply line the helper sends, newline included. Every field but `message` is
    // small by construction (a UUID, a short mode, a label of at most 80 bytes, at most ten fan
    // targets), so a long failure text is the only thing that could reach it.
    static constexpr size_t kReplyLimit = 4096;

    // The reply to a request that failed: `ok` false, the error's description, nothing else.
    static ControlReply failure(std::string message);

    // This reply with `message` cut (at a character boundary, ending in "…") so that its compact
    // encoding plus a newline takes at most `limit` bytes; unchanged when it already fits.
    ControlReply fitted(size_t limit = kReplyLimit) const;

    friend bool operator==(const ControlReply&, const ControlReply&) = default;
};

void to_json(nlohmann::json& json, const FanSessionStatus& status);
void from_json(const nlohmann::json& json, FanSessionStatus& status);
void to_json(nlohmann::json& json, const ControlReply& reply);
void from_json(const nlohmann::json& json, ControlReply& reply);

}  // namespace pyrelle
