#include "FanProbe.hpp"

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "CSMC.h"

namespace pyrelle::helper {

std::string fanProbeJSON() {
    static constexpr std::array<const char*, 9> kKeys = {"FNum", "F0Md", "F0md", "F0Tg", "F0Ac",
                                                         "F0Mn", "F0Mx", "Ftst", "FS! "};
    nlohmann::json result = nlohmann::json::object();
    const uint32_t connection = pyr_smc_open();
    if (connection != 0) {
        for (const char* key : kKeys) {
            PYRValue value{};
            if (pyr_smc_read(connection, key, &value) != 0) continue;
            const double number = pyr_decode(&value);
            if (std::isfinite(number)) result[key] = number;
        }
        pyr_smc_close(connection);
    }
    return result.dump();
}

}  // namespace pyrelle::helper
