#include "Web/RequestGuard.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "pyrelle/ScopeError.hpp"

namespace kilnview::RequestGuard {

using pyrelle::ScopeError;

namespace {

// Texts of the refusals of a curve body.
constexpr const char* kBadJSON = "请求不是有效的 JSON";
constexpr const char* kNotObject = "请求必须是 JSON 对象";
constexpr const char* kMissingCurve = "缺少曲线";
constexpr const char* kBadDuration = "无效控制时长";
constexpr const char* kBadLabel = "模式名称必须是文本";

bool isPort(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stoi(std::string(text)) <= 65535;
}

}  // namespace

bool isLoopbackHost(std::string_view host) {
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (host.size() < name.size()) continue;
        // Host names compare case-insensitively.
        bool same = true;
        for (std::size_t i = 0; i < name.size(); ++i)
            same = same && std::tolower(static_cast<unsigned char>(host[i])) == name[i];
        if (!same) continue;
        const std::string_view rest = host.substr(name.size());
        if (rest.empty()) return true;
        if (rest.front() == ':' && isPort(rest.substr(1))) return true;
    }
    return false;
}

bool tokenMatches(std::string_view expected, std::string_view given) {
    if (expected.empty() || expected.size() != given.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ given[i]);
    return difference == 0;
}

std::string newToken() {
    unsigned char bytes[16];
    std::size_t filled = 0;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && filled < sizeof bytes) {
        const ssize_t n = ::read(fd, bytes + filled, sizeof bytes - filled);
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ::close(fd);
    if (filled < sizeof bytes) {
        std::random_device device;
        for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token.push_back(digits[byte >> 4]);
        token.push_back(digits[byte & 15]);
    }
    return token;
}

pyrelle::ControlRequest curveRequest(std::string_view body) {
    nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded()) throw ScopeError(kBadJSON);
    if (!json.is_object()) throw ScopeError(kNotObject);
    pyrelle::ControlRequest request;
    request.command = "profile";
    request.profile = "custom";
    const auto curve = json.find("curve");
    if (curve == json.end() || curve->is_null()) throw ScopeError(kMissingCurve);
    request.curve = curve->get<pyrelle::FanCurve>();  // throws ScopeError
    if (const auto duration = json.find("durationSeconds"); duration != json.end()) {
        if (!duration->is_number()) throw ScopeError(kBadDuration);
        request.duration = duration->get<double>();
    }
    if (const auto label = json.find("label"); label != json.end() && !label->is_null()) {
        if (!label->is_string()) throw ScopeError(kBadLabel);
        // An empty label names nothing; the helper then uses its own.
        if (!label->get<std::string>().empty()) request.label = label->get<std::string>();
    }
    pyrelle::FanControlPolicy::validate(request, true);
    return request;
}

bool isEmptyOrObject(std::string_view body) {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return true;
    const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
    return !json.is_discarded() && json.is_object();
}

}  // namespace kilnview::RequestGuard
