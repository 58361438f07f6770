#include "Web/Credentials.hpp"

#include <algorithm>

#include "Web/RequestGuard.hpp"
#include "pyrelle/RandomIdentifier.hpp"

namespace kilnview {

namespace {

// Two random identifiers without their dashes: 244 random bits, safe in a URL and a cookie.
std::string randomHex() {
    std::string text;
    for (int i = 0; i < 2; ++i) {
        for (char c : pyrelle::randomIdentifier()) {
            if (c == '-') continue;
            text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return text;
}

}  // namespace

std::string cookieValue(std::string_view header, std::string_view name) {
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find(';', start);
        if (end == std::string_view::npos) end = header.size();
        std::string_view item = header.substr(start, end - start);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        if (item.size() > name.size() && item.substr(0, name.size()) == name &&
            item[name.size()] == '=')
            return std::string(item.substr(name.size() + 1));
        start = end + 1;
    }
    return {};
}

Credentials Credentials::fresh(std::optional<std::string> metricsToken) {
    return Credentials(randomHex(), randomHex(), std::move(metricsToken));
}

Credentials::Credentials(std::string secret, std::string session,
                         std::optional<std::string> metricsToken)
    : secret_(std::move(secret)),
      session_(std::move(session)),
      metricsToken_(std::move(metricsToken)) {}

bool Credentials::secretMatches(std::string_view given) const {
    return RequestGuard::tokenMatches(secret_, given);
}

bool Credentials::sessionMatches(std::string_view cookieHeader, std::string_view cookieName) const {
    return RequestGuard::tokenMatches(session_, cookieValue(cookieHeader, cookieName));
}

bool Credentials::bearerMatches(std::string_view authorization) const {
    constexpr std::string_view scheme = "Bearer ";
    if (authorization.size() <= scheme.size()) return false;
    // The scheme name is case-insensitive.
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(authorization[i])) !=
            std::tolower(static_cast<unsigned char>(scheme[i])))
            return false;
    }
    std::string_view token = authorization.substr(scheme.size());
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
    // Both compared, so the time does not tell which one is configured.
    const bool secret = RequestGuard::tokenMatches(secret_, token);
    const bool configured = metricsToken_ && RequestGuard::tokenMatches(*metricsToken_, token);
    return secret || configured;
}

std::string Credentials::sessionCookie(std::string_view cookieName) const {
    return std::string(cookieName) + "=" + session_ + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string Credentials::cookieNameFor(int port) {
    return "kilnview_session_" + std::to_string(port);
}

}  // namespace kilnview
