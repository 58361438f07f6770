#include "pyrelle/SMCVerification.hpp"

#include <cmath>
#include <cstdint>

namespace pyrelle::SMCVerification {

bool waitFor(double target, double timeout, const std::function<double()>& now,
             const std::function<std::optional<double>()>& read,
             const std::function<void()>& wait) {
    const double deadline = now() + timeout;
    bool streak = false;
    for (int poll = 0; poll < maximumPolls; ++poll) {
        if (now() > deadline) return false;
        const auto value = read();
        if (value && std::isfinite(*value) && std::fabs(*value - target) < 1.0) {
            if (streak) return true;
            streak = true;
        } else {
            streak = false;
        }
        if (now() >= deadline) return false;
        wait();
    }
    return false;
}

std::optional<bool> manualState(std::optional<double> local, std::optional<double> flags, int id,
                                std::optional<double> handoff) {
    const bool unlocked = handoff && *handoff != 0;
    if (local) {
        if (*local == 1) return true;
        if (*local == 0 || *local == 3) return unlocked ? std::nullopt : std::optional<bool>(false);
        return std::nullopt;
    }
    if (id < 0 || id > 9 || !flags || !std::isfinite(*flags) || *flags < 0 || *flags > 65535)
        return std::nullopt;
    const auto mask = static_cast<uint32_t>(*flags);
    if (mask >> id & 1u) return true;
    return unlocked ? std::nullopt : std::optional<bool>(false);
}

}  // namespace pyrelle::SMCVerification
