#pragma once

#include <exception>
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

// The user-facing text of a failure caught as an exception of any kind: what() of a standard
// exception, "未知错误" for anything else.
inline std::string describeFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "未知错误";
    }
}

}  // namespace pyrelle
