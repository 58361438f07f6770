// The `profile custom` curve argument as the helper reads it from its command line: strict
// base64, JSON decoding of a fan curve, and validation. Only ScopeError may come out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pyrelle/Base64.hpp"
#include "pyrelle/FanCurve.hpp"
#include "pyrelle/ScopeError.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view argument(reinterpret_cast<const char*>(data), size);
    // Both the encoded form and, directly, the JSON it would carry.
    for (const auto& text : {pyrelle::Base64::decodeText(argument),
                             std::optional<std::string>(std::string(argument))}) {
        if (!text) continue;
        try {
            const pyrelle::FanCurve curve = pyrelle::decodeFanCurve(*text);
            curve.validate();
            (void)curve.percent(static_cast<double>(size));
        } catch (const pyrelle::ScopeError&) {
        }
    }
    return 0;
}
