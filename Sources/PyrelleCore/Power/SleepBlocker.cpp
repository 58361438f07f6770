#include "pyrelle/SleepBlocker.hpp"

#include <algorithm>
#include <cmath>

#include "PowerCoding.hpp"
#include "pyrelle/ProcessRunner.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle {

namespace {

const char* const blockersUnreadable = "休眠阻止状态不可读取";

const char* const busctlPath = "/usr/bin/busctl";
constexpr double busctlTimeout = 5;

// A pid key: decimal text of a 32-bit value, nothing else.
std::optional<std::int32_t> processIdentifier(const std::string& key) {
    if (key.empty() || key.size() > 11) return std::nullopt;
    size_t at = key.front() == '-' ? 1 : 0;
    if (at == key.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; at < key.size(); ++at) {
        if (key[at] < '0' || key[at] > '9') return std::nullopt;
        value = value * 10 + (key[at] - '0');
    }
    if (key.front() == '-') value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool isBlockingKind(const std::string& type) {
    return std::find(SleepBlocker::blockingKinds.begin(), SleepBlocker::blockingKinds.end(),
                     type) != SleepBlocker::blockingKinds.end();
}

const std::string* textMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return nullptr;
    return &found->get_ref<const std::string&>();
}

}  // namespace

std::string SleepBlocker::id() const {
    return std::to_string(pid) + ":" + type + ":" + reason;
}

std::vector<SleepBlocker> SleepBlocker::read(const AssertionSource& source) {
    std::optional<nlohmann::json> assertions;
    try {
        assertions = source ? source() : std::nullopt;
    } catch (const std::exception&) {
        assertions.reset();
    }
    if (!assertions || !assertions->is_object()) throw ScopeError(blockersUnreadable);
    return fromAssertions(*assertions);
}

std::vector<SleepBlocker> SleepBlocker::fromAssertions(const nlohmann::json& assertions) {
    std::vector<SleepBlocker> blockers;
    if (!assertions.is_object()) return blockers;
    for (const auto& [key, list] : assertions.items()) {
        const auto pid = processIdentifier(key);
        if (!pid || !list.is_array()) continue;
        const bool allObjects = std::all_of(list.begin(), list.end(),
                                            [](const auto& entry) { return entry.is_object(); });
        if (!allObjects) continue;
        for (const auto& assertion : list) {
            const std::string* type = textMember(assertion, "AssertType");
            if (type == nullptr || !isBlockingKind(*type)) continue;
            const auto level = assertion.find("AssertLevel");
            if (level == assertion.end() || !level->is_number() || !(level->get<double>() > 0))
                continue;

            SleepBlocker blocker;
            blocker.pid = *pid;
            const std::string* name = textMember(assertion, "Process Name");
            blocker.name = name != nullptr ? *name : "PID " + key;
            const std::string* reason = textMember(assertion, "AssertName");
            blocker.reason = reason != nullptr ? *reason : *type;
            blocker.type = *type;
            const auto since = assertion.find("AssertStartWhen");
            if (since != assertion.end() && since->is_number() &&
                std::isfinite(since->get<double>())) {
                blocker.since = Date(since->get<double>());
            }
            blockers.push_back(std::move(blocker));
        }
    }
    std::stable_sort(blockers.begin(), blockers.end(),
                     [](const SleepBlocker& a, const SleepBlocker& b) { return a.id() < b.id(); });
    return blockers;
}

std::optional<nlohmann::json> SleepBlocker::systemAssertions() {
    try {
        const CommandResult result = ProcessRunner::run(
            busctlPath,
            {"--system", "--json=short", "--no-pager", "call", "org.freedesktop.login1",
             "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors"},
            busctlTimeout);
        if (result.status != 0) return std::nullopt;
        return assertionsFromInhibitors(result.output);
    } catch (const ScopeError&) {
        return std::nullopt;
    }
}

std::optional<nlohmann::json> SleepBlocker::assertionsFromInhibitors(
    std::string_view busctlOutput) {
    const auto answer = nlohmann::json::parse(busctlOutput, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) return std::nullopt;
    const auto data = answer.find("data");
    // One return value: the array of (what, who, why, mode, uid, pid) structures.
    if (data == answer.end() || !data->is_array() || data->size() != 1 ||
        !data->front().is_array()) {
        return std::nullopt;
    }
    auto assertions = nlohmann::json::object();
    for (const auto& inhibitor : data->front()) {
        if (!inhibitor.is_array() || inhibitor.size() != 6 || !inhibitor[0].is_string() ||
            !inhibitor[1].is_string() || !inhibitor[2].is_string() || !inhibitor[3].is_string() ||
            !inhibitor[5].is_number_unsigned()) {
            continue;
        }
        const auto pid = inhibitor[5].get<std::uint64_t>();
        if (pid > static_cast<std::uint64_t>(INT32_MAX)) continue;
        const int level = inhibitor[3].get_ref<const std::string&>() == "block" ? 1 : 0;
        const std::string& what = inhibitor[0].get_ref<const std::string&>();
        // "what" is a colon-separated list of the operations held off.
        size_t start = 0;
        while (start <= what.size()) {
            const size_t end = std::min(what.find(':', start), what.size());
            const std::string operation = what.substr(start, end - start);
            start = end + 1;
            std::string type = operation == "sleep"  ? "PreventSystemSleep"
                               : operation == "idle" ? "PreventUserIdleSystemSleep"
                                                     : operation;
            if (type.empty()) continue;
            nlohmann::json assertion{{"AssertType", type}, {"AssertLevel", level}};
            if (!inhibitor[1].get_ref<const std::string&>().empty())
                assertion["Process Name"] = inhibitor[1];
            if (!inhibitor[2].get_ref<const std::string&>().empty())
                assertion["AssertName"] = inhibitor[2];
            assertions[std::to_string(pid)].push_back(std::move(assertion));
        }
    }
    return assertions;
}

void to_json(nlohmann::json& json, const SleepBlocker& blocker) {
    json = nlohmann::json{{"pid", blocker.pid},
                          {"name", blocker.name},
                          {"reason", blocker.reason},
                          {"type", blocker.type}};
    if (blocker.since) json["since"] = *blocker.since;
}

void from_json(const nlohmann::json& json, SleepBlocker& blocker) {
    using namespace powercoding;
    object(json, "SleepBlocker");
    SleepBlocker decoded;
    decoded.pid = static_cast<std::int32_t>(jsondecode::integer(required(json, "pid"), "pid"));
    decoded.name = text(required(json, "name"), "name");
    decoded.reason = text(required(json, "reason"), "reason");
    decoded.type = text(required(json, "type"), "type");
    if (const auto* since = optional(json, "since")) decoded.since = since->get<Date>();
    blocker = std::move(decoded);
}

}  // namespace pyrelle
