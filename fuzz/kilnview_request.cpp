// What Kilnview reads from a browser before acting: the curve body of POST /api/fans/curve,
// the Host header, the language inputs (?lang, cookie, Accept-Language) and the bodies of
// the parameterless fan actions. A curve body must end in a request that passes the helper's
// own gate or in a ScopeError; nothing may crash, and an accepted Host is a loopback name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Web/AppText.hpp"
#include "Web/RequestGuard.hpp"
#include "pyrelle/ScopeError.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            try {
                const pyrelle::ControlRequest request = kilnview::RequestGuard::curveRequest(input);
                // What reaches the helper has passed its gate; checking again must agree.
                pyrelle::FanControlPolicy::validate(request, true);
            } catch (const pyrelle::ScopeError&) {
            }
            break;
        case 1: {
            const std::size_t first = input.find('\n');
            const std::size_t second =
                first == std::string_view::npos ? first : input.find('\n', first + 1);
            const std::string_view query = input.substr(0, first);
            const std::string_view cookie = first == std::string_view::npos
                                                ? std::string_view()
                                                : input.substr(first + 1, second - first - 1);
            const std::string_view accept =
                second == std::string_view::npos ? std::string_view() : input.substr(second + 1);
            const std::string language =
                kilnview::resolveLanguage(query, cookie, accept, {std::string(accept)});
            bool offered = false;
            for (std::string_view code : kilnview::kLanguages)
                offered = offered || code == language;
            if (!offered) std::abort();
            break;
        }
        case 2:
            if (kilnview::RequestGuard::isLoopbackHost(input)) {
                if (input.rfind("127.0.0.1", 0) != 0 && input.rfind("[::1]", 0) != 0 &&
                    !(input.size() >= 9 && (input[0] | 0x20) == 'l'))
                    std::abort();
                if (input.find('@') != std::string_view::npos ||
                    input.find('/') != std::string_view::npos)
                    std::abort();
            }
            break;
        default: kilnview::RequestGuard::isEmptyOrObject(input);
    }
    return 0;
}
