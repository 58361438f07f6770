#include "pyrelle/widget/WidgetRoute.hpp"

#include <array>
#include <cctype>

namespace pyrelle {
namespace {

// The schemes the application answers to; the configured scheme is deliberately not
// consulted, so a tampered bundle cannot widen what is accepted.
constexpr std::array<std::string_view, 2> acceptedSchemes{"pyrelle", "kilnview-store"};

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters that may appear in a URI at all; anything else makes the text no address.
bool isURICharacter(char c) {
    if (isAlpha(c) || isDigit(c)) return true;
    return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// The percent-decoded path, or nothing for a malformed escape.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
        out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

}  // namespace

bool WidgetRoute::isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front())) return false;
    for (char c : scheme) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

std::optional<WidgetMetric> WidgetRoute::metricValue() const {
    if (kind_ != Kind::metric) return std::nullopt;
    return metric_;
}

std::string WidgetRoute::scheme(const WidgetBundle& bundle) {
    return bundle.text("PyrelleURLScheme").value_or("pyrelle");
}

std::string WidgetRoute::url(const WidgetBundle& bundle) const {
    return url(scheme(bundle));
}

std::string WidgetRoute::url(std::string_view scheme) const {
    std::string address(scheme);
    address += "://";
    switch (kind_) {
        case Kind::metric:
            address += "metric/";
            address += toText(metric_);
            break;
        case Kind::overview: address += "overview"; break;
        case Kind::thermal: address += "thermal"; break;
    }
    return address;
}

std::optional<WidgetRoute> WidgetRoute::parse(std::string_view url) {
    for (char c : url) {
        if (!isURICharacter(c)) return std::nullopt;
    }
    std::size_t colon = url.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view scheme = url.substr(0, colon);
    bool accepted = false;
    for (std::string_view s : acceptedSchemes) accepted = accepted || s == scheme;
    if (!accepted) return std::nullopt;

    std::string_view rest = url.substr(colon + 1);
    if (rest.substr(0, 2) != "//") return std::nullopt;  // no host
    rest.remove_prefix(2);
    // No query and no fragment, not even empty ones.
    if (rest.find_first_of("?#") != std::string_view::npos) return std::nullopt;
    std::size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    // No user, password or port: the authority is the bare host.
    if (host.find_first_of("@:") != std::string_view::npos) return std::nullopt;

    if (host == "overview" && path.empty()) return overview();
    if (host == "thermal" && path.empty()) return thermal();
    if (host == "metric") {
        std::optional<std::string> decoded = percentDecoded(path);
        if (!decoded || decoded->empty() || decoded->front() != '/') return std::nullopt;
        std::optional<WidgetMetric> metric =
            parseWidgetMetric(std::string_view(*decoded).substr(1));
        if (!metric) return std::nullopt;
        return WidgetRoute::metric(*metric);
    }
    return std::nullopt;
}

}  // namespace pyrelle
