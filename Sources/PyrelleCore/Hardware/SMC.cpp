#include "pyrelle/SMC.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#include "pyrelle/SMCVerification.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SystemClock.hpp"

namespace pyrelle {

namespace {

constexpr const char* kInvalidFan = "无效风扇编号";
// Said instead of blaming the machine when the failure was the device not answering.
constexpr const char* kNotResponding = "，设备没有正常响应";

// A kernel status of the user-client call (the device did not answer, or not usably), as
// opposed to the shim's own argument codes and the SMC's result bytes.
bool deviceFailure(int32_t code) {
    return code < -4 || code > 255;
}

std::string formatted(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

std::string fanKey(int fan, const char* suffix) {
    return "F" + std::to_string(fan) + suffix;
}

std::optional<double> finite(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

SMC::Timing SMC::Timing::system() {
    return Timing{[] { return SystemClock::uptime(); },
                  [](double seconds) { SystemClock::sleep(seconds); }};
}

SMC::SMC() : SMC(Timing::system()) {}

SMC::SMC(Timing timing) : connection_(pyr_smc_open()), timing_(std::move(timing)) {
    const auto defaults = Timing::system();
    if (!timing_.now) timing_.now = defaults.now;
    if (!timing_.pause) timing_.pause = defaults.pause;
}

SMC::~SMC() {
    pyr_smc_close(connection_);
}

void SMC::reopen() {
    pyr_smc_close(connection_);
    connection_ = pyr_smc_open();
}

PYRValue SMC::raw(const std::string& key) const {
    PYRValue value{};
    const int32_t code = pyr_smc_read(connection_, key.c_str(), &value);
    if (code != 0) {
        throw ScopeError("SMC " + key + " 读取失败（" + std::to_string(code) + "）" +
                         (deviceFailure(code) ? kNotResponding : ""));
    }
    return value;
}

std::optional<double> SMC::number(const std::string& key) const {
    PYRValue value{};
    if (pyr_smc_read(connection_, key.c_str(), &value) != 0) return std::nullopt;
    return finite(pyr_decode(&value));
}

std::vector<std::optional<double>> SMC::numbers(const std::vector<std::string>& keys) const {
    std::vector<const char*> names;
    names.reserve(keys.size());
    for (const auto& key : keys) names.push_back(key.c_str());
    std::vector<PYRValue> values(keys.size());
    std::vector<int32_t> results(keys.size());
    std::vector<std::optional<double>> decoded(keys.size());
    if (keys.empty()) return decoded;
    pyr_smc_read_many(connection_, names.data(), static_cast<uint32_t>(keys.size()), values.data(),
                      results.data());
    for (size_t i = 0; i < keys.size(); ++i) {
        if (results[i] == 0) decoded[i] = finite(pyr_decode(&values[i]));
    }
    return decoded;
}

std::vector<std::optional<double>> SMC::numbers(const std::vector<std::string>& keys,
                                                KeyInfos& infos) const {
    std::vector<std::optional<double>> decoded(keys.size());
    std::vector<size_t> known;
    std::vector<const char*> knownNames;
    std::vector<PYRValue> held;
    for (size_t i = 0; i < keys.size(); ++i) {
        const auto found = infos.find(keys[i]);
        if (found == infos.end()) continue;
        PYRValue info{};
        info.size = found->second.size;
        info.type = found->second.type;
        held.push_back(info);
        known.push_back(i);
        knownNames.push_back(keys[i].c_str());
    }
    std::vector<PYRValue> values(known.size());
    std::vector<int32_t> results(known.size());
    if (!known.empty()) {
        pyr_smc_read_many_known(connection_, knownNames.data(), held.data(),
                                static_cast<uint32_t>(known.size()), values.data(), results.data());
    }
    // Keys read in full: those without held info, and those whose info the device refuted.
    constexpr int32_t kKeySizeMismatch = 0x87;
    std::vector<bool> full(keys.size(), true);
    for (size_t n = 0; n < known.size(); ++n) {
        const int32_t result = results[n];
        if (result == PYR_SMC_STALE_INFO || result == kKeySizeMismatch) continue;
        full[known[n]] = false;
        if (result == 0) decoded[known[n]] = finite(pyr_decode(&values[n]));
    }
    std::vector<size_t> unknown;
    std::vector<std::string> unknownKeys;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (!full[i]) continue;
        unknown.push_back(i);
        unknownKeys.push_back(keys[i]);
    }
    if (unknown.empty()) return decoded;
    std::vector<const char*> names;
    for (const auto& key : unknownKeys) names.push_back(key.c_str());
    std::vector<PYRValue> fresh(unknown.size());
    std::vector<int32_t> freshResults(unknown.size());
    pyr_smc_read_many(connection_, names.data(), static_cast<uint32_t>(unknown.size()),
                      fresh.data(), freshResults.data());
    for (size_t n = 0; n < unknown.size(); ++n) {
        if (freshResults[n] != 0) {
            // Held info the device refuted is forgotten; other failures keep what was known.
            if (infos.count(unknownKeys[n]) != 0) infos.erase(unknownKeys[n]);
            continue;
        }
        infos[unknownKeys[n]] = KeyInfo{fresh[n].size, fresh[n].type};
        decoded[unknown[n]] = finite(pyr_decode(&fresh[n]));
    }
    return decoded;
}

void SMC::write(const std::string& key, double number) {
    PYRValue value = raw(key);
    if (pyr_encode(&value, number) != 0) throw ScopeError("SMC " + key + " 不支持写入这个数值");
    ++writeAttempts_;
    const int32_t code = pyr_smc_write(connection_, key.c_str(), &value);
    if (code != 0) {
        // A refusal by the controller may mean the model does not allow control; a device that
        // did not answer says nothing about the model.
        throw ScopeError("SMC " + key + " 写入失败（" + std::to_string(code) + "）" +
                         (deviceFailure(code) ? kNotResponding : "；此机型可能不支持控制"));
    }

    std::optional<double> last;
    const bool confirmed = SMCVerification::waitFor(
        number, readBackTimeout, timing_.now,
        [&] {
            last = this->number(key);
            return last;
        },
        [&] { timing_.pause(readBackPause); });
    if (confirmed) return;
    throw ScopeError("SMC " + key + " 回读不一致，操作未确认（目标 " + formatted(number) +
                     "，读回 " + (last ? formatted(*last) : std::string("无法读取")) +
                     "；已等待最多 2 秒）");
}

AppleSiliconFanControl& SMC::armFans() {
    if (!armFans_) {
        // The controller is owned by this SMC and never outlives it, so plain back references
        // to `this` are safe (the SMC is neither copied nor moved).
        armFans_ = std::make_unique<AppleSiliconFanControl>(
            [this](const std::string& key) { return number(key); },
            [this](const std::string& key, double value) { write(key, value); },
            [this] { timing_.pause(handOverPause); }, [this] { return timing_.now(); });
    }
    return *armFans_;
}

std::optional<double> SMC::fanValue(int fan, const char* suffix) const {
    return number(fanKey(fan, suffix));
}

std::vector<FanReading> SMC::fans() {
    std::vector<FanReading> result;
    const auto count = number("FNum");
    if (!count || *count < 0 || *count > 10) return result;
    const int fans = static_cast<int>(*count);

    // Every key the readings need, read in one batch; the lower-case mode key is asked for
    // only for fans whose upper-case one does not read.
    static constexpr const char* kPerFan[] = {"Md", "Mx", "Ac", "Mn", "Tg"};
    std::vector<std::string> keys = {"FS! ", "Ftst"};
    for (int n = 0; n < fans; ++n)
        for (const char* suffix : kPerFan) keys.push_back(fanKey(n, suffix));
    const auto values = numbers(keys);
    std::map<std::string, std::optional<double>> known;
    for (size_t i = 0; i < keys.size(); ++i) known.emplace(keys[i], values[i]);
    const auto read = [&](const std::string& key) {
        const auto found = known.find(key);
        return found != known.end() ? found->second : number(key);
    };

    const auto mask = read("FS! ");
    const auto unlock = read("Ftst");
    for (int n = 0; n < fans; ++n) {
        FanReading fan;
        fan.id = n;
        const auto mode = AppleSiliconFanControl::modeReading(n, read);
        fan.manual = SMCVerification::manualState(mode ? std::optional(mode->value) : std::nullopt,
                                                  mask, n, unlock);
        fan.maximum = read(fanKey(n, "Mx"));
        fan.rpm = read(fanKey(n, "Ac"));
        fan.minimum = read(fanKey(n, "Mn"));
        fan.controllable = fan.manual.has_value() && read(fanKey(n, "Tg")).has_value() &&
                           fan.maximum && *fan.maximum > 0 && *fan.maximum <= 12000;
        result.push_back(fan);
    }
    return result;
}

std::optional<double> SMC::target(int fan) {
    return fanValue(fan, "Tg");
}

void SMC::setTarget(int fan, double rpm) {
    write(fanKey(fan, "Tg"), rpm);
}

void SMC::setManual(int fan, bool manual) {
    if (fan < 0 || fan > 9) throw ScopeError(kInvalidFan);
    if (!armFans().modeKey(fan)) {
        // No mode key answered. When the device itself is not answering (or the connection is
        // gone), say so rather than blame the fan's mode interface.
        PYRValue value{};
        const std::string key = fanKey(fan, "Md");
        const int32_t code =
            connection_ == 0 ? PYR_KERN_NOT_OPEN : pyr_smc_read(connection_, key.c_str(), &value);
        if (deviceFailure(code)) {
            throw ScopeError("SMC " + key + " 读取失败（" + std::to_string(code) + "）" +
                             kNotResponding);
        }
    }
    armFans().setManual(fan, manual);
}

std::vector<SMC::SensorKey> SMC::sensorKeys(KeyInfos* infos) const {
    std::vector<SensorKey> result;
    const auto count = number("#KEY");
    if (!count || *count <= 0 || *count > 10000) return result;
    const auto total = static_cast<uint32_t>(*count);
    const auto names = std::make_unique<char[][5]>(total);
    std::vector<int32_t> listed(total);
    pyr_smc_keys_at(connection_, 0, total, names.get(), listed.data());

    std::vector<std::string> candidates;
    for (uint32_t index = 0; index < total; ++index) {
        if (listed[index] != 0) continue;
        const std::string key(names[index], 4);
        if (key[0] == 'T' || key[0] == 'P' || key[0] == 'V' || key[0] == 'I')
            candidates.push_back(key);
    }
    std::vector<const char*> keys;
    keys.reserve(candidates.size());
    for (const auto& key : candidates) keys.push_back(key.c_str());
    std::vector<PYRValue> values(candidates.size());
    std::vector<int32_t> read(candidates.size());
    pyr_smc_read_many(connection_, keys.data(), static_cast<uint32_t>(keys.size()), values.data(),
                      read.data());
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (read[i] != 0) continue;
        if (infos != nullptr) (*infos)[candidates[i]] = KeyInfo{values[i].size, values[i].type};
        const auto kind = smcKind(candidates[i], values[i].type, values[i].size);
        if (!kind) continue;
        if (!valid(*kind, pyr_decode(&values[i]))) continue;
        result.push_back({candidates[i], *kind});
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const SensorKey& a, const SensorKey& b) { return a.key < b.key; });
    return result;
}

std::vector<std::string> SMC::temperatureKeys() const {
    std::vector<std::string> keys;
    for (auto& sensor : sensorKeys())
        if (sensor.kind == HardwareSensorKind::temperature) keys.push_back(sensor.key);
    return keys;
}

}  // namespace pyrelle
