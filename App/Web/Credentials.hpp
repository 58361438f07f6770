#pragma once
// Credentials: what proves a request comes from Kilnview's user. A per-run secret travels once
// in the printed address and is exchanged for a session cookie; /metrics takes the secret, or
// a long-lived token named by the administrator, as a bearer token. Every comparison takes
// the same time wherever a mismatch starts. Immutable after construction: thread-safe.

#include <optional>
#include <string>
#include <string_view>

namespace kilnview {

class Credentials {
public:
    // Fresh random secret and session value (each 244 random bits, lower-case hexadecimal).
    static Credentials fresh(std::optional<std::string> metricsToken = std::nullopt);
    Credentials(std::string secret, std::string session, std::optional<std::string> metricsToken);

    const std::string& secret() const { return secret_; }

    // Whether a `secret` query value is this run's secret.
    bool secretMatches(std::string_view given) const;
    // Whether a Cookie header carries this run's session under `cookieName`.
    bool sessionMatches(std::string_view cookieHeader, std::string_view cookieName) const;
    // Whether an Authorization header is "Bearer " and the secret or the metrics token.
    bool bearerMatches(std::string_view authorization) const;

    // The Set-Cookie value that starts a session: HttpOnly, SameSite=Strict, Path=/, ending
    // with the browser session. Browsers keep cookies per host, not per port, so the name
    // carries the port and two Kilnviews on one machine never overwrite each other's.
    std::string sessionCookie(std::string_view cookieName) const;
    static std::string cookieNameFor(int port);

private:
    std::string secret_;
    std::string session_;
    std::optional<std::string> metricsToken_;
};

// The value of cookie `name` in a Cookie header; empty when absent.
std::string cookieValue(std::string_view header, std::string_view name);

}  // namespace kilnview
