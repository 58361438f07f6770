#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "pyrelle/Date.hpp"

namespace pyrelle {

// One power assertion that currently keeps the machine from sleeping, and the reading of
// all of them.
struct SleepBlocker {
    std::int32_t pid = 0;
    std::string name;    // the process's name, or "PID {pid}"
    std::string reason;  // the assertion's own name, or its type
    std::string type;    // one of `blockingKinds`
    std::optional<Date> since;

    // The assertion types that count as sleep blockers; every other type is ignored.
    static constexpr std::array<std::string_view, 3> blockingKinds{
        "PreventUserIdleSystemSleep", "PreventSystemSleep", "PreventUserIdleDisplaySleep"};

    // The power manager's assertions by process: an object from pid (decimal text) to an
    // array of assertion objects with "AssertType", "AssertLevel", "Process Name",
    // "AssertName" and "AssertStartWhen" (seconds since 2001); absent when unavailable.
    using AssertionSource = std::function<std::optional<nlohmann::json>()>;

    // "{pid}:{type}:{reason}".
    std::string id() const;

    // The current blockers sorted by `id` as text; fails with "休眠阻止状态不可读取" when the
    // assertions cannot be listed.
    static std::vector<SleepBlocker> read(const AssertionSource& source = systemAssertions);

    // The blockers among `assertions` (the source's shape), sorted by `id`. Entries and
    // assertions of any other shape are skipped.
    static std::vector<SleepBlocker> fromAssertions(const nlohmann::json& assertions);

    // This system's assertions: the logind inhibitors, listed over the system bus with
    // `busctl`. Absent when logind cannot be asked.
    static std::optional<nlohmann::json> systemAssertions();

    // The assertions described by busctl's JSON answer to logind's ListInhibitors: a
    // blocking "sleep" inhibitor reads as PreventSystemSleep, a blocking "idle" one as
    // PreventUserIdleSystemSleep; delay inhibitors have level 0. Absent when the text is not
    // such an answer.
    static std::optional<nlohmann::json> assertionsFromInhibitors(std::string_view busctlOutput);

    bool operator==(const SleepBlocker&) const = default;
};

// JSON: {"pid", "name", "reason", "type", "since"?}.
void to_json(nlohmann::json& json, const SleepBlocker& blocker);
void from_json(const nlohmann::json& json, SleepBlocker& blocker);

}  // namespace pyrelle
