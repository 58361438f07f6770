#include "KernelTreeDevice.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "CSMC.h"
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
// A target written to the tree must be a speed a fan can have.
constexpr double kMaxTargetRpm = 20000;

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

// A label names an SMC key of the expected kind: four printable characters, the first being
// the kind's letter.
bool isKeyLabel(const std::string& label, char kindLetter) {
    if (label.size() != 4 || label[0] != kindLetter) return false;
    return std::all_of(label.begin(), label.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// One kind of labelled sensor file: tempN_label/tempN_input and so on.
struct SensorFamily {
    const char* prefix;
    char kindLetter;
    KernelTreeDevice::Source source;
};

}  // namespace

std::shared_ptr<KernelTreeDevice> KernelTreeDevice::open(KernelDriver driver, int directory,
                                                         bool rootOwnedOnly) {
    if (directory < 0) return nullptr;
    std::shared_ptr<KernelTreeDevice> device(
        new KernelTreeDevice(driver, directory, rootOwnedOnly));
    device->build();
    // "#KEY" and "FNum" alone are no SMC worth opening.
    if (device->entries_.size() <= 2) return nullptr;
    return device;
}

KernelTreeDevice::~KernelTreeDevice() {
    ::close(directory_);
}

int KernelTreeDevice::openAttribute(const std::string& file, int flags) const {
    const int fd = ::openat(directory_, file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat info {};
    const bool usable =
        ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode) &&
        (!rootOwnedOnly_ || (info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0));
    if (!usable) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> KernelTreeDevice::readLine(const std::string& file) const {
    const int fd = openAttribute(file, O_RDONLY);
    if (fd < 0) return std::nullopt;
    char buffer[64];
    ssize_t got;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got < 0) return std::nullopt;
    std::string text(buffer, static_cast<size_t>(got));
    if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    return text;
}

std::optional<long long> KernelTreeDevice::readInteger(const std::string& file) const {
    const int fd = openAttribute(file, O_RDONLY);
    if (fd < 0) return std::nullopt;
    char buffer[32];
    size_t used = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer + used, sizeof buffer - used);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
        if (used == sizeof buffer) {  // no attribute of ours is this long: not a number
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    // Exactly what the drivers print: an optional minus, decimal digits, one new line.
    size_t at = 0;
    const bool negative = used > 0 && buffer[0] == '-';
    if (negative) ++at;
    const size_t digitsBegin = at;
    long long value = 0;
    while (at < used && buffer[at] >= '0' && buffer[at] <= '9') {
        if (at - digitsBegin >= 15) return std::nullopt;
        value = value * 10 + (buffer[at] - '0');
        ++at;
    }
    if (at == digitsBegin) return std::nullopt;
    if (at < used && buffer[at] == '\n') ++at;
    if (at != used) return std::nullopt;
    return negative ? -value : value;
}

bool KernelTreeDevice::writeInteger(const std::string& file, long long value) const {
    // Truncated only once the file has passed openAttribute's checks, so a refused file is
    // left as it was.
    const int fd = openAttribute(file, O_WRONLY);
    if (fd < 0) return false;
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return false;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%lld\n", value);
    ssize_t written;
    do {
        written = ::write(fd, text, static_cast<size_t>(length));
    } while (written < 0 && errno == EINTR);
    const bool closed = ::close(fd) == 0;
    return written == length && closed;
}

void KernelTreeDevice::build() {
    const bool intel = driver_ == KernelDriver::applesmc;
    // Intel Macs keep fan speeds as "fpe2" and temperatures as "sp78", and applesmc reads
    // exactly those keys; the Apple Silicon SMC keeps both as "flt ", which macsmc-hwmon
    // decodes. Answering in the machine's own types keeps every layer above unchanged.
    const uint32_t speedType = intel ? PYR_TYPE_FPE2 : PYR_TYPE_FLT;
    const uint32_t speedSize = intel ? 2 : 4;
    const uint32_t sensorType = intel ? PYR_TYPE_SP78 : PYR_TYPE_FLT;
    const uint32_t sensorSize = intel ? 2 : 4;
    auto exists = [this](const std::string& file) {
        struct stat info {};
        return ::fstatat(directory_, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    };

    std::map<uint32_t, Entry> table;
    int fans = 0;
    for (int n = 1; n <= kMaxFans; ++n) {
        const std::string base = "fan" + std::to_string(n) + "_";
        if (!exists(base + "input")) break;
        const std::string smc{'F', static_cast<char>('0' + n - 1)};
        auto add = [&](const char* suffix, const std::string& file, bool writable) {
            const uint32_t key = fourCC(smc + suffix);
            table[key] = Entry{key, speedType, speedSize, Source::rpm, file, writable, 0};
        };
        add("Ac", base + "input", false);
        if (exists(base + "min")) add("Mn", base + "min", false);
        if (exists(base + "max")) add("Mx", base + "max", false);
        if (intel) {
            // applesmc: fanN_output is the SMC's target key, fanN_manual the fan's bit of
            // the forced-mode mask (1 manual, 0 automatic), both read and written through.
            if (exists(base + "output")) add("Tg", base + "output", true);
            if (exists(base + "manual")) {
                const uint32_t key = fourCC(smc + "Md");
                table[key] =
                    Entry{key, PYR_TYPE_UI8, 1, Source::manualSwitch, base + "manual", true, 0};
            }
        } else if (exists(base + "target")) {
            // macsmc-hwmon documents fanX_target only as the current setpoint, and no way to
            // read a fan's mode back or to hand it to the SMC again: the target is shown, and
            // the fan offers no mode key, so it is reported as not controllable.
            add("Tg", base + "target", false);
        }
        ++fans;
    }

    static const SensorFamily kIntelFamilies[] = {{"temp", 'T', Source::milli}};
    static const SensorFamily kAppleFamilies[] = {{"temp", 'T', Source::milli},
                                                  {"in", 'V', Source::milli},
                                                  {"curr", 'I', Source::milli},
                                                  {"power", 'P', Source::micro}};
    const std::span<const SensorFamily> families =
        intel ? std::span<const SensorFamily>(kIntelFamilies)
              : std::span<const SensorFamily>(kAppleFamilies);
    // The labelled channels present, by family and channel number, so a key labelled twice
    // keeps its lowest channel whatever order the directory lists its files in.
    std::map<std::pair<size_t, long>, std::string> channels;
    if (const int listing = ::openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        listing >= 0) {
        if (DIR* dir = ::fdopendir(listing)) {
            while (const dirent* item = ::readdir(dir)) {
                const std::string name = item->d_name;
                for (size_t f = 0; f < families.size(); ++f) {
                    const std::string prefix = families[f].prefix;
                    if (name.size() <= prefix.size() + 6 ||
                        name.compare(0, prefix.size(), prefix) != 0 ||
                        name.compare(name.size() - 6, 6, "_label") != 0) {
                        continue;
                    }
                    const std::string digits =
                        name.substr(prefix.size(), name.size() - prefix.size() - 6);
                    if (digits.empty() || digits.size() > 4 ||
                        !std::all_of(digits.begin(), digits.end(),
                                     [](char c) { return c >= '0' && c <= '9'; })) {
                        continue;
                    }
                    channels[{f, std::stol(digits)}] = prefix + digits;
                }
            }
            ::closedir(dir);
        } else {
            ::close(listing);
        }
    }
    for (const auto& [where, base] : channels) {
        const SensorFamily& family = families[where.first];
        const auto label = readLine(base + "_label");
        if (!label || !isKeyLabel(*label, family.kindLetter) || !exists(base + "_input")) continue;
        const uint32_t key = fourCC(*label);
        if (table.count(key) != 0) continue;
        table[key] = Entry{key, sensorType, sensorSize, family.source, base + "_input", false, 0};
    }

    const uint32_t countKey = fourCC("#KEY");
    const uint32_t fanKey = fourCC("FNum");
    table[fanKey] =
        Entry{fanKey, PYR_TYPE_UI8, 1, Source::constant, {}, false, static_cast<uint32_t>(fans)};
    table[countKey] = Entry{countKey, PYR_TYPE_UI32, 4, Source::constant, {}, false, 0};
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
    const auto raw = readInteger(entry.file);
    if (!raw) return kIOError;
    const long long value = *raw;
    switch (entry.source) {
        case Source::manualSwitch:
            if (value != 0 && value != 1) return kIOError;
            out[0] = static_cast<uint8_t>(value);
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
        case Source::constant: break;
    }
    return kIOError;
}

int32_t KernelTreeDevice::writeValue(const Entry& entry, uint32_t size,
                                     const std::array<uint8_t, 32>& in) const {
    if (!entry.writable) return kKeyNotWritable;
    if (size != entry.size) return kKeySizeMismatch;
    if (entry.source == Source::manualSwitch) {
        if (in[0] != 0 && in[0] != 1) return kBadArgument;
        return writeInteger(entry.file, in[0]) ? 0 : kIOError;
    }
    PYRValue value{};
    value.size = entry.size;
    value.type = entry.type;
    std::memcpy(value.bytes, in.data(), sizeof value.bytes);
    const double rpm = pyr_decode(&value);
    if (!std::isfinite(rpm) || rpm < 0 || rpm > kMaxTargetRpm) return kBadArgument;
    // The drivers take whole rpm; the nearest one is within the read-back tolerance.
    return writeInteger(entry.file, std::llround(rpm)) ? 0 : kIOError;
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
