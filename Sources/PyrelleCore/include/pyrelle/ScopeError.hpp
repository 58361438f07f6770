#pragma once

#include <stdexcept>
#include <string>

namespace pyrelle {

// The one error type of the core library and the helper. `what()` is the Chinese message
// the user sees, unchanged; no error codes travel above the shim.
class ScopeError : public std::runtime_error {
public:
    explicit ScopeError(const std::string& message) : std::runtime_error(message) {}

    // The user-facing text (identical to what()).
    std::string message() const { return what(); }
};

}  // namespace pyrelle
