#include "pyrelle/SensorInventory.hpp"

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace pyrelle::SensorInventory {

namespace {

// One prototype collator for the user's locale with numeric ordering; each thread works on its
// own clone because ICU collators are not meant to be shared across threads.
std::unique_ptr<icu::Collator> makePrototype() {
    // The "C"/POSIX environment (a helper started without a language) maps to en_US_POSIX,
    // whose collation is plain code-point order with every capital before every small letter.
    // That is no user's name order, so such an environment gets the root locale's order.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getName()) == "en_US_POSIX") locale = icu::Locale::getRoot();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) return nullptr;
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    collator->setStrength(icu::Collator::SECONDARY);  // letter case does not decide the order
    if (U_FAILURE(status)) return nullptr;
    return collator;
}

icu::Collator* threadCollator() {
    static const std::unique_ptr<icu::Collator> prototype = makePrototype();
    thread_local std::unique_ptr<icu::Collator> clone(prototype ? prototype->clone() : nullptr);
    return clone.get();
}

// Far more keys than any machine has; a caller that sorts ever-new names starts again there.
constexpr std::size_t kMaxCachedSortKeys = 4096;

// The collator's binary sort key for `name`: comparing two such keys bytewise orders the
// names as the collator's compare does. Absent when the collator cannot make one.
std::optional<std::string> sortKey(const icu::Collator& collator, std::string_view name) {
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
    std::string key(64, '\0');
    int32_t length = collator.getSortKey(text, reinterpret_cast<uint8_t*>(key.data()),
                                         static_cast<int32_t>(key.size()));
    if (length > static_cast<int32_t>(key.size())) {
        key.resize(static_cast<std::size_t>(length));
        length = collator.getSortKey(text, reinterpret_cast<uint8_t*>(key.data()),
                                     static_cast<int32_t>(key.size()));
    }
    if (length <= 0 || length > static_cast<int32_t>(key.size())) return std::nullopt;
    key.resize(static_cast<std::size_t>(length));
    return key;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

int bytewise(std::string_view a, std::string_view b) {
    return sign(a.compare(b));
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int compareNamesPlain(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            // Compare the runs as numbers of any length: skip leading zeros, then by length.
            size_t zi = i, zj = j;
            while (zi + 1 < ei && a[zi] == '0') ++zi;
            while (zj + 1 < ej && b[zj] == '0') ++zj;
            const auto ra = a.substr(zi, ei - zi), rb = b.substr(zj, ej - zj);
            if (ra.size() != rb.size()) return ra.size() < rb.size() ? -1 : 1;
            if (int c = bytewise(ra, rb)) return c;
            i = ei;
            j = ej;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return bytewise(a, b);
}

int compareNames(std::string_view a, std::string_view b) {
    icu::Collator* collator = threadCollator();
    if (!collator) return compareNamesPlain(a, b);
    UErrorCode status = U_ZERO_ERROR;
    const auto ua =
        icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())));
    const auto ub =
        icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size())));
    const UCollationResult result = collator->compare(ua, ub, status);
    if (U_FAILURE(status)) return compareNamesPlain(a, b);
    if (result != UCOL_EQUAL) return result == UCOL_LESS ? -1 : 1;
    // Names equal to the collator (e.g. differing only in case) still get one fixed order.
    return bytewise(a, b);
}

std::vector<HardwareSensorReading> readings(const Snapshot& snapshot) {
    std::vector<HardwareSensorReading> all;
    all.reserve(snapshot.sensors.size() + snapshot.fans.size() +
                (snapshot.additionalSensors ? snapshot.additionalSensors->size() : 0));
    for (const auto& sensor : snapshot.sensors)
        all.emplace_back(sensor.key, sensor.label, HardwareSensorKind::temperature, sensor.celsius);
    if (snapshot.additionalSensors)
        all.insert(all.end(), snapshot.additionalSensors->begin(),
                   snapshot.additionalSensors->end());
    for (const auto& fan : snapshot.fans)
        all.emplace_back("F" + std::to_string(fan.id) + "Ac",
                         "风扇 " + std::to_string(static_cast<long long>(fan.id) + 1),
                         HardwareSensorKind::fan, fan.rpm);

    std::vector<HardwareSensorReading> unique;
    unique.reserve(all.size());
    std::set<std::string> seen;
    for (auto& reading : all)
        if (seen.insert(reading.id()).second) unique.push_back(std::move(reading));

    // The same order as compareNames, but by sort keys made once per key and thread rather
    // than by the collator twice per comparison: every sample sorts all its readings again,
    // and a machine's keys hardly ever change.
    icu::Collator* collator = threadCollator();
    std::vector<const std::string*> sortKeys;
    if (collator) {
        thread_local std::unordered_map<std::string, std::string> made;
        if (made.size() > kMaxCachedSortKeys) made.clear();
        sortKeys.reserve(unique.size());
        for (const auto& reading : unique) {
            auto found = made.find(reading.key);
            if (found == made.end()) {
                auto key = sortKey(*collator, reading.key);
                if (!key) {
                    sortKeys.clear();
                    break;
                }
                found = made.emplace(reading.key, std::move(*key)).first;
            }
            sortKeys.push_back(&found->second);
        }
    }
    if (sortKeys.size() != unique.size()) {
        std::stable_sort(unique.begin(), unique.end(),
                         [](const HardwareSensorReading& x, const HardwareSensorReading& y) {
                             return compareNamesPlain(x.key, y.key) < 0;
                         });
        return unique;
    }
    std::vector<std::size_t> order(unique.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        if (const int c = sortKeys[x]->compare(*sortKeys[y])) return c < 0;
        return bytewise(unique[x].key, unique[y].key) < 0;
    });
    std::vector<HardwareSensorReading> sorted;
    sorted.reserve(unique.size());
    for (const std::size_t i : order) sorted.push_back(std::move(unique[i]));
    return sorted;
}

}  // namespace pyrelle::SensorInventory
