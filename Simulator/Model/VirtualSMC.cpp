#include "pyrelle/sim/VirtualSMC.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace pyrelle::sim {

namespace {

constexpr size_t kWriteLogLimit = 256;

std::vector<uint8_t> textPayload(const nlohmann::json& body) {
    // Error texts may quote the caller's bytes, which need not be valid UTF-8.
    const std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return {text.begin(), text.end()};
}

}  // namespace

double VirtualSMC::steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

VirtualSMC::VirtualSMC(Profile profile, Clock clock)
    : profile_(std::move(profile)),
      clock_(clock ? std::move(clock) : Clock(steadySeconds)),
      thermal_(profile_) {
    for (size_t i = 0; i < profile_.keys.size(); ++i) {
        const auto& spec = profile_.keys[i];
        byKey_.emplace(spec.key.value, i);
        if (spec.listed) listed_.push_back(i);
        if (spec.source == KeySource::unlock) hasUnlock_ = true;
    }
    // The SMC enumerates its keys in code order.
    std::sort(listed_.begin(), listed_.end(), [this](size_t a, size_t b) {
        return profile_.keys[a].key.value < profile_.keys[b].key.value;
    });
    keyStates_.resize(profile_.keys.size());
    modes_.assign(profile_.fans.size(), profile_.automaticMode);
    lastStep_ = now();
}

double VirtualSMC::now() const {
    return clock_() + clockOffset_;
}

void VirtualSMC::catchUp() {
    const double t = now();
    if (t > lastStep_) {
        thermal_.advance(t - lastStep_);
        lastStep_ = t;
    }
}

VirtualSMC::Response VirtualSMC::handle(uint32_t selector, std::span<const uint8_t> request) {
    std::lock_guard lock(mutex_);
    catchUp();
    switch (selector) {
        case csmc::kSelectorUserClient: {
            if (faults_.takeDrop()) return {status::kNotResponding, {}, true};
            if (const auto kernel = faults_.takeKernelError()) return {*kernel, {}, false};
            const auto block = SMCBlock::parse(request);
            if (!block) return {status::kBadArgument, {}, false};
            auto out = userClient(*block);
            if (const auto length = faults_.takeBadLength()) out.resize(*length, 0);
            return {status::kSuccess, std::move(out), false};
        }
        case csmc::kSelectorControl: {
            nlohmann::json body;
            try {
                body = nlohmann::json::parse(request.begin(), request.end());
            } catch (const nlohmann::json::exception& e) {
                return {status::kBadArgument,
                        textPayload(
                            {{"ok", false}, {"error", std::string("malformed JSON: ") + e.what()}}),
                        false};
            }
            if (!body.is_object()) {
                return {
                    status::kBadArgument,
                    textPayload({{"ok", false}, {"error", "a control request is a JSON object"}}),
                    false};
            }
            return {status::kSuccess, textPayload(controlLocked(body)), false};
        }
        case csmc::kSelectorPowerManager:
            return {status::kSuccess, textPayload(powerStateLocked()), false};
        default: return {status::kUnsupported, {}, false};
    }
}

void VirtualSMC::awaitStall() {
    while (true) {
        double left;
        {
            std::lock_guard lock(mutex_);
            left = stallUntil_ - steadySeconds();
        }
        if (left <= 0) return;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, 0.05)));
    }
}

int32_t VirtualSMC::exchange(uint32_t selector, std::span<const uint8_t> request,
                             std::vector<uint8_t>& reply) {
    if (selector == csmc::kSelectorUserClient) awaitStall();
    auto response = handle(selector, request);
    reply = std::move(response.payload);
    if (response.dropConnection) {
        reply.clear();
        return status::kNotResponding;
    }
    return response.status;
}

nlohmann::json VirtualSMC::control(const nlohmann::json& request) {
    std::lock_guard lock(mutex_);
    catchUp();
    if (!request.is_object())
        return {{"ok", false}, {"error", "a control request is a JSON object"}};
    return controlLocked(request);
}

nlohmann::json VirtualSMC::powerState() {
    std::lock_guard lock(mutex_);
    catchUp();
    return powerStateLocked();
}

std::vector<uint8_t> VirtualSMC::userClient(const SMCBlock& in) {
    SMCBlock out;
    out.key = in.key;
    out.command = in.command;
    const auto found = byKey_.find(in.key.value);
    const KeySpec* spec = found == byKey_.end() ? nullptr : &profile_.keys[found->second];
    switch (static_cast<SMCCommand>(in.command)) {
        case SMCCommand::readKeyInfo:
            if (!spec) {
                out.result = smcResult::kKeyNotFound;
            } else if (const auto refused = faults_.refusedRead(spec->key)) {
                out.result = *refused;
            } else {
                out.dataSize = spec->size;
                out.dataType = spec->type;
                out.attributes = spec->writable() ? 0xD0 : 0x90;
            }
            break;
        case SMCCommand::readBytes:
            out.result = spec ? readKey(*spec, in.dataSize, out) : smcResult::kKeyNotFound;
            break;
        case SMCCommand::writeBytes:
            out.result = spec ? writeKey(*spec, in) : smcResult::kKeyNotFound;
            break;
        case SMCCommand::keyAtIndex:
            if (in.index < listed_.size()) {
                out.key = profile_.keys[listed_[in.index]].key;
            } else {
                out.key = FourCC();
                out.result = smcResult::kKeyIndexRange;
            }
            break;
        default: out.result = smcResult::kBadCommand; break;
    }
    return out.serialize();
}

uint8_t VirtualSMC::readKey(const KeySpec& spec, uint32_t requestedSize, SMCBlock& out) {
    auto& state = keyStates_[static_cast<size_t>(&spec - profile_.keys.data())];
    ++state.reads;
    if (const auto refused = faults_.refusedRead(spec.key)) return *refused;
    if (requestedSize != spec.size) return smcResult::kKeySizeMismatch;
    auto bytes = currentBytes(spec);
    if (state.lagged && now() < state.laggedUntil) bytes = *state.lagged;
    if (const double delta = faults_.readbackOffset(spec.key); delta != 0) {
        if (const auto value = ValueCodec::decode(spec.type, spec.size, bytes)) {
            if (const auto shifted = ValueCodec::encode(spec.type, spec.size, *value + delta))
                bytes = *shifted;
        }
    }
    out.dataSize = spec.size;
    out.dataType = spec.type;
    out.bytes = bytes;
    return smcResult::kSuccess;
}

uint8_t VirtualSMC::writeKey(const KeySpec& spec, const SMCBlock& in) {
    auto& state = keyStates_[static_cast<size_t>(&spec - profile_.keys.data())];
    ++state.writes;
    const double t = now();
    const auto visibleBefore =
        (state.lagged && t < state.laggedUntil) ? *state.lagged : currentBytes(spec);
    const auto value = ValueCodec::decode(spec.type, spec.size, in.bytes);
    uint8_t result = smcResult::kSuccess;
    if (const auto refused = faults_.refusedWrite(spec.key)) {
        result = *refused;
    } else if (!spec.writable()) {
        result = smcResult::kKeyNotWritable;
    } else if (in.dataSize != spec.size) {
        result = smcResult::kKeySizeMismatch;
    } else if (!value || !std::isfinite(*value)) {
        result = smcResult::kBadArgument;
    } else {
        result = writeValue(spec, *value);
    }
    if (result != smcResult::kSuccess) {
        ++state.refused;
    } else if (faults_.readbackLag() > 0) {
        state.lagged = visibleBefore;
        state.laggedUntil = t + faults_.readbackLag();
    }
    if (log_.size() == kWriteLogLimit) log_.erase(log_.begin());
    log_.push_back({spec.key.text(), in.dataSize == spec.size ? value : std::nullopt, result, t});
    return result;
}

uint8_t VirtualSMC::writeValue(const KeySpec& spec, double value) {
    const size_t n = spec.index;
    switch (spec.source) {
        case KeySource::fanMode:
            if (value == 1) {
                // The controller hands a fan over only while the unlock flag is set, and only
                // once it has had time to notice the flag.
                if (!hasUnlock_ || unlock_ == 0) return smcResult::kBadCommand;
                if (now() - unlockedAt_ + 1e-9 < unlockDelay_) return smcResult::kBadCommand;
                modes_[n] = 1;
                thermal_.setManual(n, true);
                return smcResult::kSuccess;
            }
            if (value == 0 || value == 3) {
                modes_[n] = static_cast<uint8_t>(value);
                thermal_.setManual(n, false);
                return smcResult::kSuccess;
            }
            return smcResult::kBadArgument;
        case KeySource::fanTarget:
            if (value < 0) return smcResult::kBadArgument;
            // An automatic fan's target belongs to the system's controller: accepted, ignored.
            if (fanManual(n)) thermal_.setTarget(n, value);
            return smcResult::kSuccess;
        case KeySource::forcedMask: {
            if (value < 0 || value > 65535 || value != std::floor(value))
                return smcResult::kBadArgument;
            const auto mask = static_cast<uint32_t>(value);
            for (size_t fan = 0; fan < profile_.fans.size(); ++fan) {
                const bool manual = (mask >> fan) & 1u;
                if (manual != fanManual(fan)) thermal_.setManual(fan, manual);
            }
            return smcResult::kSuccess;
        }
        case KeySource::unlock:
            if (value != 0 && value != 1) return smcResult::kBadArgument;
            if (faults_.holdsUnlock()) return smcResult::kBadCommand;  // another program holds it
            setUnlock(static_cast<uint8_t>(value));
            return smcResult::kSuccess;
        default: return smcResult::kKeyNotWritable;
    }
}

std::optional<double> VirtualSMC::liveValue(const KeySpec& spec) const {
    const auto& fans = thermal_.fans();
    const size_t n = spec.index;
    switch (spec.source) {
        case KeySource::fixed: return ValueCodec::decode(spec.type, spec.size, spec.bytes);
        case KeySource::temperature:
            return thermal_.temperature(static_cast<ThermalNode>(spec.index)) * spec.scale +
                   spec.offset;
        case KeySource::power:
            return thermal_.railPower(static_cast<Rail>(spec.index)) * spec.scale + spec.offset;
        case KeySource::voltage:
            return thermal_.railVoltage(static_cast<Rail>(spec.index)) * spec.scale + spec.offset;
        case KeySource::current:
            return thermal_.railCurrent(static_cast<Rail>(spec.index)) * spec.scale + spec.offset;
        case KeySource::fanActual:
            return n < fans.size() ? std::optional(fans[n].actual) : std::nullopt;
        case KeySource::fanTarget:
            return n < fans.size() ? std::optional(fans[n].target) : std::nullopt;
        case KeySource::fanMinimum:
            return n < fans.size() ? std::optional(profile_.fans[n].minimum) : std::nullopt;
        case KeySource::fanMaximum:
            return n < fans.size() ? std::optional(profile_.fans[n].maximum) : std::nullopt;
        case KeySource::fanMode:
            return n < modes_.size() ? std::optional<double>(modes_[n]) : std::nullopt;
        case KeySource::fanCount: return static_cast<double>(fans.size());
        case KeySource::forcedMask: return forcedMask();
        case KeySource::unlock: return unlock_;
        case KeySource::keyCount: return static_cast<double>(listed_.size());
    }
    return std::nullopt;
}

ValueCodec::Bytes VirtualSMC::currentBytes(const KeySpec& spec) const {
    const auto& state = keyStates_[static_cast<size_t>(&spec - profile_.keys.data())];
    if (state.pinned) {
        if (const auto bytes = ValueCodec::encode(spec.type, spec.size, *state.pinned))
            return *bytes;
    }
    if (spec.source == KeySource::fixed) return spec.bytes;
    if (const auto value = liveValue(spec)) {
        if (const auto bytes = ValueCodec::encode(spec.type, spec.size, *value)) return *bytes;
    }
    return {};
}

bool VirtualSMC::fanManual(size_t n) const {
    return n < thermal_.fans().size() && thermal_.fans()[n].manual;
}

uint8_t VirtualSMC::modeValue(size_t n) const {
    return n < modes_.size() ? modes_[n] : 0;
}

double VirtualSMC::forcedMask() const {
    uint32_t mask = 0;
    for (size_t n = 0; n < thermal_.fans().size(); ++n) {
        if (fanManual(n)) mask |= 1u << n;
    }
    return mask;
}

void VirtualSMC::setUnlock(uint8_t value) {
    if (value != 0 && unlock_ == 0) unlockedAt_ = now();
    unlock_ = value;
}

void VirtualSMC::allFansAutomatic() {
    for (size_t n = 0; n < profile_.fans.size(); ++n) stealFan(n);
}

void VirtualSMC::stealFan(size_t n) {
    if (n >= profile_.fans.size()) return;
    thermal_.setManual(n, false);
    modes_[n] = profile_.automaticMode;
}

}  // namespace pyrelle::sim
