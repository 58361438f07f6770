#include "KernelTreeDevice.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "CSMC.h"
#include "MacsmcLabels.hpp"
#include "SMCBlock.hpp"

namespace pyrelle::csmc {
namespace {

// SMC result bytes, as the controller answers them.
constexpr uint8_t kBadCommand = 0x82;
constexpr uint8_t kKeyNotFound = 0x84;
constexpr uint8_t kKeyNotWritable = 0x86;
constexpr uint8_t kKeySizeMismatch = 0x87;
constexpr uint8_t kBadArgument = 0x89;
constexpr uint8_t kKeyIndexRange = 0xB8;

constexpr int32_t kMalformedRequest = static_cast<int32_t>(0xE00002C2u);

// Attributes byte of a key-info answer: readable, and writable where the device accepts writes.
constexpr uint8_t kReadable = 0x90;
constexpr uint8_t kReadWrite = 0xD0;

// The SMC numbers fans 0-9 (one decimal digit in the key); the drivers number them from 1.
constexpr int kMaxFans = 10;
// Fan speeds beyond any fan's rating are not passed on as numbers.
constexpr long long kMaxRpm = 100000;
// applesmc takes a target only below 0x4000 rpm (a 14-bit value; EINVAL above).
constexpr double kMaxTargetRpm = 16383;
// hwmon's pwmN_enable: 1 manual; 2 and above automatic (0 would be "no control, full speed").
constexpr long long kPwmManual = 1;
constexpr long long kPwmAutomatic = 2;

void putBE16(std::array<uint8_t, 32>& out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

void putBE32(std::array<uint8_t, 32>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void putFloat(std::array<uint8_t, 32>& out, double value) {
    const float single = static_cast<float>(value);
    std::memcpy(out.data(), &single, sizeof single);  // host byte order, as the SMC keeps it
}

// One kind of sensor channel: tempN_label/tempN_input and so on.
struct SensorFamily {
    const char* prefix;
    char kindLetter;
    KernelTreeDevice::Source source;
};

constexpr SensorFamily kIntelFamilies[] = {{"temp", 'T', KernelTreeDevice::Source::milli}};
constexpr SensorFamily kAppleFamilies[] = {{"temp", 'T', KernelTreeDevice::Source::milli},
                                           {"in", 'V', KernelTreeDevice::Source::milli},
                                           {"curr", 'I', KernelTreeDevice::Source::milli},
                                           {"power", 'P', KernelTreeDevice::Source::micro}};

// The channel number of `name` when it is `prefix` + digits + `suffix`.
std::optional<long> channel(const std::string& name, const std::string& prefix,
                            const std::string& suffix) {
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix)) {
        return std::nullopt;
    }
    const std::string digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 4 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stol(digits);
}

}  // namespace

std::shared_ptr<KernelTreeDevice> KernelTreeDevice::open(KernelDriver driver,
                                                         std::unique_ptr<AttributeFiles> files,
                                                         Pause pause) {
    if (!files) return nullptr;
    if (!pause) pause = [](std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); };
    std::shared_ptr<KernelTreeDevice> device(
        new KernelTreeDevice(driver, std::move(files), std::move(pause)));
    device->build();
    // A machine without fans is still an SMC worth opening when it has sensors; "#KEY" and
    // "FNum" alone are not.
    if (device->entries_.size() <= 2) return nullptr;
    return device;
}

std::shared_ptr<KernelTreeDevice> KernelTreeDevice::open(KernelDriver driver, int directory,
                                                         bool rootOwnedOnly) {
    return open(driver, directoryFiles(directory, rootOwnedOnly));
}

int KernelTreeDevice::attempt(const std::function<int()>& operation) const {
    int error = operation();
    for (const auto delay : kRetryPauses) {
        if (error != EIO) break;
        pause_(delay);
        error = operation();
    }
    return error;
}

std::optional<std::string> KernelTreeDevice::readLine(const std::string& file) const {
    std::string text;
    if (attempt([&] { return files_->read(file, text); }) != 0) return std::nullopt;
    if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    return text;
}

std::optional<long long> KernelTreeDevice::readInteger(const std::string& file) const {
    std::string text;
    if (attempt([&] { return files_->read(file, text); }) != 0) return std::nullopt;
    // Exactly what the drivers print: an optional minus, decimal digits, one new line.
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++at;
    const size_t digitsBegin = at;
    long long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (at - digitsBegin >= 15) return std::nullopt;
        value = value * 10 + (text[at] - '0');
        ++at;
    }
    if (at == digitsBegin) return std::nullopt;
    if (at < text.size() && text[at] == '\n') ++at;
    if (at != text.size()) return std::nullopt;
    return negative ? -value : value;
}

int KernelTreeDevice::writeInteger(const std::string& file, long long value) const {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%lld\n", value);
    const std::string_view line(text, static_cast<size_t>(length));
    return attempt([&] { return files_->write(file, line); });
}

void KernelTreeDevice::buildFans(std::map<uint32_t, Entry>& table,
                                 const std::vector<RawKeyTable::Key>* raw) {
    const bool intel = driver_ == KernelDriver::applesmc;
    const auto labels = intel ? std::vector<MacsmcLabel>{} : deviceTreeLabels(*files_);
    // Intel Macs keep fan speeds as "fpe2", T2 Macs (as Apple Silicon) as "flt ": the raw key
    // table says which this SMC uses, by the type of any fan's actual-speed key.
    uint32_t speedType = intel ? PYR_TYPE_FPE2 : PYR_TYPE_FLT;
    if (raw != nullptr) {
        for (const auto& known : *raw) {
            const std::string name = fourCCText(known.key);
            if (name[0] == 'F' && name[1] >= '0' && name[1] <= '9' &&
                name.compare(2, 2, "Ac") == 0 && known.type == PYR_TYPE_FLT && known.size == 4) {
                speedType = PYR_TYPE_FLT;
            }
        }
    }
    const uint32_t speedSize = speedType == PYR_TYPE_FLT ? 4 : 2;
    for (int n = 1; n <= kMaxFans; ++n) {
        const std::string base = "fan" + std::to_string(n) + "_";
        if (!files_->exists(base + "input")) break;
        // The SMC's fan number: macsmc-hwmon says which key each channel reads (its label);
        // applesmc's fanN reads the SMC's fan N-1.
        char digit = static_cast<char>('0' + n - 1);
        if (!intel) {
            if (const auto label = readLine(base + "label")) {
                const auto key = macsmcKey(labels, "fan", *label, 'F');
                if (key && (*key)[1] >= '0' && (*key)[1] <= '9') digit = (*key)[1];
            }
        }
        const std::string smc{'F', digit};
        auto add = [&](const char* suffix, const std::string& file, bool writable) {
            const uint32_t key = fourCC(smc + suffix);
            table[key] = Entry{key, speedType, speedSize, Source::rpm, file, writable, 0, {}};
        };
        add("Ac", base + "input", false);
        if (files_->exists(base + "min")) add("Mn", base + "min", false);
        if (files_->exists(base + "max")) add("Mx", base + "max", false);
        const uint32_t modeKey = fourCC(smc + "Md");
        if (intel) {
            // applesmc: fanN_output (fanN_target in a hwmon layout) is the SMC's target key,
            // fanN_manual (pwmN_enable) the fan's manual switch, each read and written through.
            if (files_->exists(base + "output")) {
                add("Tg", base + "output", true);
            } else if (files_->exists(base + "target")) {
                add("Tg", base + "target", true);
            }
            const std::string pwm = "pwm" + std::to_string(n) + "_enable";
            if (files_->exists(base + "manual")) {
                table[modeKey] = Entry{modeKey,         PYR_TYPE_UI8, 1, Source::manualSwitch,
                                       base + "manual", true,         0, {}};
            } else if (files_->exists(pwm)) {
                table[modeKey] =
                    Entry{modeKey, PYR_TYPE_UI8, 1, Source::pwmEnable, pwm, true, 0, {}};
            }
        } else if (files_->exists(base + "target")) {
            // macsmc-hwmon keeps whether a fan is manual to itself: nothing reads the mode
            // back, so a hand-back could never be confirmed. The target is shown, the fan
            // offers no mode key, and it is reported as not controllable.
            add("Tg", base + "target", false);
        }
        ++fans_;
    }
}

void KernelTreeDevice::buildSensors(std::map<uint32_t, Entry>& table) {
    const bool intel = driver_ == KernelDriver::applesmc;
    // Intel Macs keep temperatures as "sp78", which applesmc reads; the Apple Silicon SMC
    // keeps sensors as "flt ", which macsmc-hwmon decodes.
    const uint32_t sensorType = intel ? PYR_TYPE_SP78 : PYR_TYPE_FLT;
    const uint32_t sensorSize = intel ? 2 : 4;
    const std::span<const SensorFamily> families =
        intel ? std::span<const SensorFamily>(kIntelFamilies)
              : std::span<const SensorFamily>(kAppleFamilies);
    const auto labels = intel ? std::vector<MacsmcLabel>{} : deviceTreeLabels(*files_);
    // The labelled channels present, by family and channel number, so a key labelled twice
    // keeps its lowest channel whatever order the directory lists its files in.
    std::map<std::pair<size_t, long>, std::string> channels;
    for (const auto& name : files_->list("")) {
        for (size_t f = 0; f < families.size(); ++f) {
            if (const auto number = channel(name, families[f].prefix, "_label"))
                channels[{f, *number}] = families[f].prefix + std::to_string(*number);
        }
    }
    for (const auto& [where, base] : channels) {
        const SensorFamily& family = families[where.first];
        const auto label = readLine(base + "_label");
        if (!label || !files_->exists(base + "_input")) continue;
        std::optional<std::string> key;
        if (intel) {
            // applesmc labels each temperature with its key.
            if (label->size() == 4 && (*label)[0] == family.kindLetter) key = *label;
        } else {
            key = macsmcKey(labels, family.prefix, *label, family.kindLetter);
        }
        if (!key || key->size() != 4 ||
            !std::all_of(key->begin(), key->end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
            continue;
        const uint32_t code = fourCC(*key);
        if (table.count(code) != 0 && table[code].source != Source::raw) continue;
        table[code] =
            Entry{code, sensorType, sensorSize, family.source, base + "_input", false, 0, {}};
    }
}

void KernelTreeDevice::build() {
    std::map<uint32_t, Entry> table;
    std::shared_ptr<const std::vector<RawKeyTable::Key>> raw;
    if (driver_ == KernelDriver::applesmc && RawKeyTable::offered(*files_)) {
        raw = RawKeyTable::read(
            *files_, [this](const std::function<int()>& operation) { return attempt(operation); });
    }
    if (raw) {
        // Every key of the SMC, read only; the keys the driver also keeps in files of their
        // own are read from those below (one attribute read each, and writable where the
        // driver allows).
        for (const auto& key : *raw) {
            if (key.size < 1 || key.size > 32) continue;
            table[key.key] = Entry{key.key, key.type, key.size, Source::raw, {}, false, 0, key};
        }
    }
    buildFans(table, raw.get());
    buildSensors(table);

    const uint32_t countKey = fourCC("#KEY");
    const uint32_t fanKey = fourCC("FNum");
    table[fanKey] = Entry{
        fanKey, PYR_TYPE_UI8, 1, Source::constant, {}, false, static_cast<uint32_t>(fans_), {}};
    table[countKey] = Entry{countKey, PYR_TYPE_UI32, 4, Source::constant, {}, false, 0, {}};
    table[countKey].constant = static_cast<uint32_t>(table.size());
    entries_.reserve(table.size());
    for (auto& [key, entry] : table) entries_.push_back(std::move(entry));
}

const KernelTreeDevice::Entry* KernelTreeDevice::find(uint32_t key) const {
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), key,
                                        [](const Entry& e, uint32_t k) { return e.key < k; });
    return found != entries_.end() && found->key == key ? &*found : nullptr;
}

int32_t KernelTreeDevice::readValue(const Entry& entry, std::array<uint8_t, 32>& out) const {
    out.fill(0);
    if (entry.source == Source::constant) {
        if (entry.size == 4) {
            putBE32(out, entry.constant);
        } else {
            out[0] = static_cast<uint8_t>(entry.constant);
        }
        return 0;
    }
    if (entry.source == Source::raw) {
        const int error = RawKeyTable::value(
            *files_, [this](const std::function<int()>& operation) { return attempt(operation); },
            entry.raw, out);
        return error == 0 ? 0 : kIOError;
    }
    const auto raw = readInteger(entry.file);
    if (!raw) return kIOError;
    const long long value = *raw;
    switch (entry.source) {
        case Source::manualSwitch:
            // The T2 driver shows the fan's mode byte as the SMC keeps it.
            if (value < 0 || value > 255) return kIOError;
            out[0] = static_cast<uint8_t>(value);
            return 0;
        case Source::pwmEnable:
            if (value == kPwmManual) {
                out[0] = 1;
            } else if (value >= kPwmAutomatic && value <= 255) {
                out[0] = 0;
            } else {
                return kIOError;  // full speed without control: no mode this SMC has
            }
            return 0;
        case Source::rpm:
            if (value < 0 || value > kMaxRpm) return kIOError;
            if (entry.type == PYR_TYPE_FPE2) {
                // 14 integer bits: every whole rpm up to 16383 is exact.
                if (value > 16383) return kIOError;
                putBE16(out, static_cast<uint16_t>(value * 4));
            } else {
                putFloat(out, static_cast<double>(value));  // exact below 2^24
            }
            return 0;
        case Source::milli:
        case Source::micro: {
            const double scale = entry.source == Source::milli ? 1e3 : 1e6;
            if (entry.type == PYR_TYPE_SP78) {
                // applesmc reports multiples of 250 millidegrees, which sp78 holds exactly;
                // any other value is rounded to the nearest 1/256 degree.
                const long long steps = std::llround(static_cast<double>(value) * 256.0 / scale);
                if (steps < -32768 || steps > 32767) return kIOError;
                putBE16(out, static_cast<uint16_t>(static_cast<int16_t>(steps)));
            } else {
                putFloat(out, static_cast<double>(value) / scale);
            }
            return 0;
        }
        case Source::constant:
        case Source::raw: break;
    }
    return kIOError;
}

int32_t KernelTreeDevice::writeValue(const Entry& entry, uint32_t size,
                                     const std::array<uint8_t, 32>& in) const {
    if (!entry.writable) return kKeyNotWritable;
    if (size != entry.size) return kKeySizeMismatch;
    long long stored = 0;
    if (entry.source == Source::manualSwitch || entry.source == Source::pwmEnable) {
        // Only "manual" and "automatic" are written, whatever byte the SMC shows.
        if (in[0] != 0 && in[0] != 1) return kBadArgument;
        if (entry.source == Source::pwmEnable) {
            stored = in[0] == 1 ? kPwmManual : kPwmAutomatic;
        } else {
            stored = in[0];
        }
    } else {
        PYRValue value{};
        value.size = entry.size;
        value.type = entry.type;
        std::memcpy(value.bytes, in.data(), sizeof value.bytes);
        const double rpm = pyr_decode(&value);
        if (!std::isfinite(rpm) || rpm < 0 || std::llround(rpm) > kMaxTargetRpm)
            return kBadArgument;
        // The drivers take whole rpm; the nearest one is within the read-back tolerance.
        stored = std::llround(rpm);
    }
    const int error = writeInteger(entry.file, stored);
    if (error == 0) return 0;
    // The driver refusing the value is the SMC refusing the argument; any other failure is
    // the device's.
    return error == EINVAL ? kBadArgument : kIOError;
}

int32_t KernelTreeDevice::exchange(uint32_t selector, std::span<const uint8_t> request,
                                   std::vector<uint8_t>& reply) {
    reply.clear();
    if (selector != kSelectorUserClient) return kUnsupported;
    const auto input = SMCBlock::decode(request);
    if (!input) return kMalformedRequest;
    SMCBlock output;
    output.key = input->key;
    output.command = input->command;
    const Entry* entry = find(input->key);
    int32_t outcome = 0;
    switch (static_cast<SMCCommand>(input->command)) {
        case SMCCommand::readKeyInfo:
            if (entry == nullptr) {
                outcome = kKeyNotFound;
            } else {
                output.dataSize = entry->size;
                output.dataType = entry->type;
                output.attributes = entry->writable ? kReadWrite : kReadable;
            }
            break;
        case SMCCommand::readBytes:
            if (entry == nullptr) {
                outcome = kKeyNotFound;
            } else if (input->dataSize != entry->size) {
                outcome = kKeySizeMismatch;
            } else {
                outcome = readValue(*entry, output.bytes);
                output.dataSize = entry->size;
                output.dataType = entry->type;
            }
            break;
        case SMCCommand::writeBytes:
            outcome =
                entry == nullptr ? kKeyNotFound : writeValue(*entry, input->dataSize, input->bytes);
            break;
        case SMCCommand::keyAtIndex:
            if (input->index < entries_.size()) {
                output.key = entries_[input->index].key;
            } else {
                output.key = 0;
                outcome = kKeyIndexRange;
            }
            break;
        default: outcome = kBadCommand; break;
    }
    // A failed file operation fails the whole exchange, as the driver's -EIO does; the SMC's
    // own refusals travel in the result byte.
    if (outcome != 0 && (outcome < 0 || outcome > 255)) return outcome;
    output.result = static_cast<uint8_t>(outcome);
    if (outcome != 0) output.bytes.fill(0);
    const auto wire = output.encode();
    reply.assign(wire.begin(), wire.end());
    return 0;
}

}  // namespace pyrelle::csmc
