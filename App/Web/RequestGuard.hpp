#pragma once
// RequestGuard: the checks every request passes before a handler sees it, and the strict
// reading of the one request body that reaches the helper. Pure functions.

#include <string>
#include <string_view>

#include "pyrelle/ControlRequest.hpp"

namespace kilnview::RequestGuard {

// Largest request body accepted, bytes.
inline constexpr std::size_t bodyLimit = 16 * 1024;

// Whether a Host header names this machine's loopback interface: 127.0.0.1, localhost or
// [::1], each optionally with a decimal port. Anything else may be a rebinding attack.
bool isLoopbackHost(std::string_view host);

// Compares the per-run token without leaking where a mismatch starts.
bool tokenMatches(std::string_view expected, std::string_view given);

// A fresh per-run token: 32 hexadecimal digits from the system's random source.
std::string newToken();

// The "profile" request for a POST /api/fans/curve body:
// {"curve":{…FanCurve…},"durationSeconds":N,"label":"…"} (duration and label optional).
// Throws pyrelle::ScopeError with the first problem (malformed JSON, a wrong type, the curve's
// or the request's own validation), so nothing unchecked reaches the helper.
pyrelle::ControlRequest curveRequest(std::string_view body);

// Whether a body is empty or a JSON object (the fan actions without parameters).
bool isEmptyOrObject(std::string_view body);

}  // namespace kilnview::RequestGuard
