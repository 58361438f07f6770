// Decodes arbitrary bytes as a snapshot: every input must either decode or fail with
// ScopeError, and whatever decodes must survive both encodings and decode back unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pyrelle/ScopeError.hpp"
#include "pyrelle/Snapshot.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    pyrelle::Snapshot snapshot;
    try {
        snapshot = pyrelle::decodeSnapshot(text);
    } catch (const pyrelle::ScopeError&) {
        return 0;
    }
    const auto probe = pyrelle::encodeForProbe(snapshot);
    (void)snapshot.assessment();
    (void)snapshot.cpuTemperature();
    nlohmann::json plain = snapshot;
    const auto again = plain.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    try {
        (void)pyrelle::decodeSnapshot(again);
        (void)pyrelle::decodeSnapshot(probe);
    } catch (const pyrelle::ScopeError&) {
        // Only non-finite values (written as null) may keep a re-encoded snapshot from decoding.
        if (again.find("null") == std::string::npos) std::abort();
    }
    return 0;
}
