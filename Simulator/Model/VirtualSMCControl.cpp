// Control requests (selector 16) and the power manager's view (selector 17) of the virtual
// Mac. Names of operations and fields are relied upon by scripts and tests; keep them stable.

#include <cmath>
#include <string>

#include "pyrelle/sim/VirtualSMC.hpp"

namespace pyrelle::sim {

namespace {

using nlohmann::json;

json failure(const std::string& message) {
    return {{"ok", false}, {"error", message}};
}
json success() {
    return {{"ok", true}};
}

// A finite number field within [lo, hi]; absent when missing, or an error text.
struct NumberField {
    std::optional<double> value;
    std::string error;
};

NumberField number(const json& request, const char* name, double lo, double hi, bool required) {
    const auto it = request.find(name);
    if (it == request.end() || it->is_null()) {
        if (required) return {std::nullopt, std::string("missing \"") + name + "\""};
        return {};
    }
    if (!it->is_number() || !std::isfinite(it->get<double>())) {
        return {std::nullopt, std::string("\"") + name + "\" must be a finite number"};
    }
    const double v = it->get<double>();
    if (v < lo || v > hi) {
        return {std::nullopt, std::string("\"") + name + "\" must lie within " + json(lo).dump() +
                                  "…" + json(hi).dump()};
    }
    return {v, {}};
}

NumberField integer(const json& request, const char* name, double lo, double hi, bool required) {
    auto field = number(request, name, lo, hi, required);
    if (field.value && *field.value != std::floor(*field.value)) {
        return {std::nullopt, std::string("\"") + name + "\" must be a whole number"};
    }
    return field;
}

std::optional<std::string> keyPattern(const json& request, std::string& error) {
    const auto it = request.find("key");
    if (it == request.end() || !it->is_string()) {
        error = "missing \"key\" (four characters, or a prefix ending in '*')";
        return std::nullopt;
    }
    const auto text = it->get<std::string>();
    const bool prefix = !text.empty() && text.back() == '*';
    if ((prefix && text.size() > 4) || (!prefix && (text.empty() || text.size() > 4))) {
        error = "\"key\" must be four characters, or a prefix ending in '*'";
        return std::nullopt;
    }
    return text;
}

}  // namespace

json VirtualSMC::controlLocked(const json& request) {
    const auto opField = request.find("op");
    if (opField == request.end() || !opField->is_string()) return failure("missing \"op\"");
    const auto op = opField->get<std::string>();

    if (op == "state") return stateLocked(request);
    if (op == "load") {
        const auto v = number(request, "value", 0, 1, true);
        if (!v.value) return failure(v.error);
        thermal_.setLoad(*v.value);
        return success();
    }
    if (op == "ambient") {
        const auto v = number(request, "celsius", -30, 60, true);
        if (!v.value) return failure(v.error);
        thermal_.setAmbient(*v.value);
        return success();
    }
    if (op == "fault") return faultLocked(request);
    if (op == "clear-faults") {
        if (faults_.holdsUnlock()) unlock_ = unlockBeforeHold_;
        faults_.clear();
        stallUntil_ = 0;
        for (auto& state : keyStates_) state.lagged.reset();
        return success();
    }
    if (op == "sleep-wake") return faultLocked({{"op", "fault"}, {"kind", "sleep-wake"}});
    if (op == "power") return powerLocked(request);
    if (op == "power-state") return {{"ok", true}, {"power", powerStateLocked()}};
    if (op == "unlock-delay") {
        const auto v = number(request, "seconds", 0, 60, true);
        if (!v.value) return failure(v.error);
        unlockDelay_ = *v.value;
        return success();
    }
    if (op == "advance") {
        // Moves the device's own time forward, so a test or demo can watch minutes of
        // physics without waiting for them.
        const auto v = number(request, "seconds", 0, 86400, true);
        if (!v.value) return failure(v.error);
        clockOffset_ += *v.value;
        catchUp();
        return success();
    }
    if (op == "set" || op == "unset") {
        const auto it = request.find("key");
        if (op == "unset" && it == request.end()) {
            for (auto& state : keyStates_) state.pinned.reset();
            return success();
        }
        if (it == request.end() || !it->is_string()) return failure("missing \"key\"");
        const auto found = byKey_.find(FourCC(it->get<std::string>()).value);
        if (it->get<std::string>().size() != 4 || found == byKey_.end()) {
            return failure("no such key: " + it->get<std::string>());
        }
        auto& state = keyStates_[found->second];
        if (op == "unset") {
            state.pinned.reset();
            return success();
        }
        const auto v = number(request, "value", -1e9, 1e9, true);
        if (!v.value) return failure(v.error);
        const auto& spec = profile_.keys[found->second];
        if (!ValueCodec::encode(spec.type, spec.size, *v.value)) {
            return failure("key " + spec.key.text() + " of type " + spec.type.text() +
                           " holds no number");
        }
        state.pinned = *v.value;
        return success();
    }
    if (op == "reset-counts") {
        for (auto& state : keyStates_) state.reads = state.writes = state.refused = 0;
        log_.clear();
        return success();
    }
    if (op == "profile") {
        return {{"ok", true},
                {"name", profile_.name},
                {"brand", profile_.brand},
                {"appleSilicon", profile_.appleSilicon},
                {"keys", listed_.size()},
                {"hiddenKeys", profile_.keys.size() - listed_.size()},
                {"fans", profile_.fans.size()}};
    }
    return failure("unknown op \"" + op + "\"");
}

json VirtualSMC::faultLocked(const json& request) {
    const auto kindField = request.find("kind");
    if (kindField == request.end() || !kindField->is_string()) return failure("missing \"kind\"");
    const auto kind = kindField->get<std::string>();
    std::string error;

    if (kind == "refuse-write" || kind == "refuse-read") {
        const auto pattern = keyPattern(request, error);
        if (!pattern) return failure(error);
        const bool write = kind == "refuse-write";
        const auto result = integer(request, "result", 1, 255, false);
        if (!result.error.empty()) return failure(result.error);
        const auto code = static_cast<uint8_t>(
            result.value.value_or(write ? smcResult::kKeyNotWritable : smcResult::kKeyNotReadable));
        if (write) {
            faults_.refuseWrite({*pattern}, code);
        } else {
            faults_.refuseRead({*pattern}, code);
        }
        return success();
    }
    if (kind == "readback-offset") {
        const auto pattern = keyPattern(request, error);
        if (!pattern) return failure(error);
        const auto delta = number(request, "delta", -1e6, 1e6, true);
        if (!delta.value) return failure(delta.error);
        faults_.addReadbackOffset({*pattern}, *delta.value);
        return success();
    }
    if (kind == "readback-lag") {
        const auto seconds = number(request, "seconds", 0, 60, true);
        if (!seconds.value) return failure(seconds.error);
        faults_.setReadbackLag(*seconds.value);
        return success();
    }
    if (kind == "steal-fan") {
        if (profile_.fans.empty()) return failure("this machine has no fans");
        const auto fan =
            integer(request, "fan", 0, static_cast<double>(profile_.fans.size() - 1), true);
        if (!fan.value) return failure(fan.error);
        stealFan(static_cast<size_t>(*fan.value));
        return success();
    }
    if (kind == "hold-ftst") {
        if (!hasUnlock_) return failure("this machine has no \"Ftst\" key");
        if (!faults_.holdsUnlock()) unlockBeforeHold_ = unlock_;
        faults_.setHoldUnlock(true);
        setUnlock(1);
        return success();
    }
    if (kind == "bad-length") {
        const auto length = integer(request, "length", 0, 4096, false);
        if (!length.error.empty()) return failure(length.error);
        if (length.value && *length.value == SMCBlock::kSize)
            return failure("\"length\" must differ from 80");
        const auto count = integer(request, "count", 1, 1e9, false);
        if (!count.error.empty()) return failure(count.error);
        faults_.addBadLength(
            count.value ? std::optional(static_cast<uint32_t>(*count.value)) : std::nullopt,
            static_cast<uint32_t>(length.value.value_or(SMCBlock::kSize - 1)));
        return success();
    }
    if (kind == "kernel-error") {
        const auto count = integer(request, "count", 1, 1e9, false);
        if (!count.error.empty()) return failure(count.error);
        // Either the signed form or IOKit's usual unsigned hexadecimal form (0xE00002BC).
        const auto code = integer(request, "status", -2147483648.0, 4294967295.0, false);
        if (!code.error.empty()) return failure(code.error);
        if (code.value && *code.value == 0) return failure("\"status\" must be non-zero");
        const auto kernel =
            code.value
                ? static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(*code.value)))
                : status::kError;
        faults_.addKernelError(static_cast<uint32_t>(count.value.value_or(1)), kernel);
        return success();
    }
    if (kind == "stall") {
        // The controller goes silent: user-client calls are answered only once it has passed
        // (control requests still are, so tests can watch and undo it).
        const auto seconds = number(request, "seconds", 0, 60, true);
        if (!seconds.value) return failure(seconds.error);
        stallUntil_ = steadySeconds() + *seconds.value;
        return success();
    }
    if (kind == "drop-connection") {
        faults_.dropNextConnection();
        return success();
    }
    if (kind == "sleep-wake") {
        // Across sleep the system takes every fan back and clears the unlock flag.
        if (!faults_.holdsUnlock()) unlock_ = 0;
        allFansAutomatic();
        for (auto& state : keyStates_) state.lagged.reset();
        return success();
    }
    return failure("unknown fault kind \"" + kind + "\"");
}

json VirtualSMC::powerLocked(const json& request) {
    static const char* const kKnown[] = {"op",
                                         "reset",
                                         "speedLimit",
                                         "schedulerLimit",
                                         "availableCPUs",
                                         "totalCPUs",
                                         "thermalWarning",
                                         "thermalState",
                                         "acPower",
                                         "lowPower",
                                         "memoryPressure",
                                         "brand"};
    for (const auto& [name, value] : request.items()) {
        if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
            return failure("unknown power field \"" + name + "\"");
        }
    }
    PowerPins pins = powerPins_;
    if (request.value("reset", false)) pins.clear();
    struct Range {
        const char* name;
        double lo, hi;
    };
    static const Range kIntegers[] = {{"speedLimit", 0, 100},     {"schedulerLimit", 0, 100},
                                      {"availableCPUs", 0, 1024}, {"totalCPUs", 1, 1024},
                                      {"thermalWarning", 0, 100}, {"thermalState", 0, 3}};
    for (const auto& range : kIntegers) {
        const auto it = request.find(range.name);
        if (it == request.end()) continue;
        if (it->is_null()) {
            pins[range.name] = nullptr;
            continue;
        }
        const auto v = integer(request, range.name, range.lo, range.hi, true);
        if (!v.value) return failure(v.error);
        pins[range.name] = static_cast<int64_t>(*v.value);
    }
    if (const auto it = request.find("memoryPressure"); it != request.end()) {
        if (it->is_null()) {
            pins["memoryPressure"] = nullptr;
        } else {
            const auto v = integer(request, "memoryPressure", 1, 4, true);
            if (!v.value || *v.value == 3) return failure("\"memoryPressure\" must be 1, 2 or 4");
            pins["memoryPressure"] = static_cast<int64_t>(*v.value);
        }
    }
    for (const char* name : {"acPower", "lowPower"}) {
        const auto it = request.find(name);
        if (it == request.end()) continue;
        if (!it->is_null() && !it->is_boolean())
            return failure(std::string("\"") + name + "\" must be true, false or null");
        pins[name] = *it;
    }
    if (const auto it = request.find("brand"); it != request.end()) {
        if (!it->is_null() && !it->is_string()) return failure("\"brand\" must be text or null");
        pins["brand"] = *it;
    }
    // The power source and low-power mode are facts about the machine, so they also change
    // its physics (adapter rails, heat), not only what the power manager reports.
    if (const auto it = pins.find("acPower"); it != pins.end() && it->second.is_boolean()) {
        thermal_.setACPower(it->second.get<bool>());
    } else {
        thermal_.setACPower(true);
    }
    if (const auto it = pins.find("lowPower"); it != pins.end() && it->second.is_boolean()) {
        thermal_.setLowPower(it->second.get<bool>());
    } else {
        thermal_.setLowPower(false);
    }
    powerPins_ = std::move(pins);
    return success();
}

json VirtualSMC::powerStateLocked() const {
    json state = {
        {"speedLimit", thermal_.speedLimit()},
        {"schedulerLimit", 100},
        {"availableCPUs", profile_.totalCPUs},
        {"totalCPUs", profile_.totalCPUs},
        {"thermalWarning", thermal_.thermalWarning()},
        {"thermalState", thermal_.thermalState()},
        {"acPower", thermal_.acPower()},
        {"lowPower", thermal_.lowPower()},
        {"memoryPressure", 1},
        {"brand", profile_.brand},
    };
    for (const auto& [name, value] : powerPins_) {
        if (value.is_null()) {
            state.erase(name);
        } else {
            state[name] = value;
        }
    }
    return state;
}

json VirtualSMC::stateLocked(const json& request) {
    json fans = json::array();
    const auto& live = thermal_.fans();
    for (size_t n = 0; n < live.size(); ++n) {
        fans.push_back({{"id", n},
                        {"mode", profile_.appleSilicon ? modeValue(n) : (live[n].manual ? 1 : 0)},
                        {"manual", live[n].manual},
                        {"target", live[n].target},
                        {"actual", live[n].actual},
                        {"minimum", profile_.fans[n].minimum},
                        {"maximum", profile_.fans[n].maximum}});
    }
    json temperatures = json::object();
    json writes = json::object();
    json refused = json::object();
    json reads = json::object();
    const bool withReads = request.value("reads", false);
    for (size_t i = 0; i < profile_.keys.size(); ++i) {
        const auto& spec = profile_.keys[i];
        const auto& state = keyStates_[i];
        const auto name = spec.key.text();
        const auto type = spec.type.text();
        const bool numeric = type == "flt " || type.rfind("sp", 0) == 0 || type.rfind("fp", 0) == 0;
        if (name[0] == 'T' && (spec.source == KeySource::temperature || numeric)) {
            if (const auto v = ValueCodec::decode(spec.type, spec.size, currentBytes(spec))) {
                temperatures[name] = std::round(*v * 100.0) / 100.0;
            }
        }
        if (state.writes > 0) writes[name] = state.writes;
        if (state.refused > 0) refused[name] = state.refused;
        if (withReads && state.reads > 0) reads[name] = state.reads;
    }
    json log = json::array();
    for (const auto& record : log_) {
        json entry = {{"key", record.key}, {"result", record.result}, {"time", record.time}};
        if (record.value) entry["value"] = *record.value;
        log.push_back(entry);
    }
    json nodes = json::object();
    static const char* const kNodeNames[] = {"cpu",     "gpu",  "memory",   "storage",
                                             "battery", "skin", "wireless", "ambient"};
    for (size_t i = 0; i < kThermalNodeCount; ++i) {
        nodes[kNodeNames[i]] =
            std::round(thermal_.temperature(static_cast<ThermalNode>(i)) * 100.0) / 100.0;
    }
    json state = {{"ok", true},
                  {"profile", profile_.name},
                  {"time", now()},
                  {"load", thermal_.load()},
                  {"ambient", thermal_.ambient()},
                  {"fans", fans},
                  {"unlockDelay", unlockDelay_},
                  {"temperatures", temperatures},
                  {"thermal", nodes},
                  {"writes", writes},
                  {"refusedWrites", refused},
                  {"log", log},
                  {"power", powerStateLocked()},
                  {"faults", faults_.describe()}};
    if (const double left = stallUntil_ - steadySeconds(); left > 0) {
        state["faults"].push_back({{"kind", "stall"}, {"seconds", left}});
    }
    if (hasUnlock_) state["ftst"] = unlock_;
    if (withReads) state["reads"] = reads;
    return state;
}

}  // namespace pyrelle::sim
