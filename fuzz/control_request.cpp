// One control line through everything the session does before acting: decode, validation and
// the Apple Silicon gate. Any input must end in a request or a ScopeError, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pyrelle/ControlRequest.hpp"
#include "pyrelle/ScopeError.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    try {
        const pyrelle::ControlRequest request = pyrelle::decodeControlRequest(line);
        try {
            pyrelle::FanControlPolicy::validate(request, true);
        } catch (const pyrelle::ScopeError&) {
        }
        request.validate();
    } catch (const pyrelle::ScopeError&) {
    }
    return 0;
}
