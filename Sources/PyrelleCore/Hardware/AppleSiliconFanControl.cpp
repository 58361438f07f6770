#include "pyrelle/AppleSiliconFanControl.hpp"

#include <exception>

#include "pyrelle/FanControlMessages.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SystemClock.hpp"

namespace pyrelle {

namespace {

constexpr const char* kUnlockKey = "Ftst";
constexpr const char* kNoModeKey = "此风扇没有可识别的 Apple Silicon 模式接口";
constexpr const char* kHandoverTaken = "风扇控制交接已被占用，请先恢复系统自动";
constexpr const char* kRestoreUnconfirmed = "未能确认风扇恢复系统自动";

bool automatic(double mode) {
    return mode == 0 || mode == 3;
}

}  // namespace

AppleSiliconFanControl::AppleSiliconFanControl(Read read, Write write, Wait wait, Now now)
    : read_(std::move(read)),
      write_(std::move(write)),
      wait_(std::move(wait)),
      now_(std::move(now)) {}

AppleSiliconFanControl::Now AppleSiliconFanControl::defaultNow() {
    return [] { return SystemClock::uptime(); };
}

std::optional<AppleSiliconFanControl::ModeReading> AppleSiliconFanControl::modeReading(
    int fan) const {
    return modeReading(fan, read_);
}

std::optional<AppleSiliconFanControl::ModeReading> AppleSiliconFanControl::modeReading(
    int fan, const Read& read) {
    if (fan < 0 || fan > 9) return std::nullopt;
    for (const char* form : {"F%dMd", "F%dmd"}) {
        std::string key = form;
        key.replace(1, 2, std::to_string(fan));
        if (auto value = read(key)) return ModeReading{std::move(key), *value};
    }
    return std::nullopt;
}

std::optional<std::string> AppleSiliconFanControl::modeKey(int fan) const {
    if (auto reading = modeReading(fan)) return reading->key;
    return std::nullopt;
}

void AppleSiliconFanControl::setManual(int fan, bool manual) {
    const auto key = modeKey(fan);
    if (!key) throw ScopeError(kNoModeKey);
    if (!manual) {
        restore(fan, *key);
        return;
    }
    takeOver(fan, *key);
}

bool AppleSiliconFanControl::holdsOtherThan(int fan) const {
    for (const auto& [held, original] : originals_)
        if (held != fan) return true;
    return false;
}

void AppleSiliconFanControl::takeOver(int fan, const std::string& key) {
    const auto current = read_(key);
    if (!current || !automatic(*current)) throw ScopeError(fancontrol::messages::kFanNotAutomatic);
    if (originals_.empty()) {
        // Somebody else holds the unlock flag: taking over now would fight that program.
        const auto unlock = read_(kUnlockKey);
        if (unlock && *unlock != 0) throw ScopeError(kHandoverTaken);
    }
    originals_[fan] = Original{key, *current};

    std::string error;
    try {
        write_(key, 1);
        return;
    } catch (const std::exception& failure) {
        error = failure.what();
    }

    // The controller may refuse manual mode until the unlock flag is set.
    const auto unlock = read_(kUnlockKey);
    if (!unlock) giveUp(fan, key, error);
    if (!unlockOriginal_) {
        if (*unlock != 0) giveUp(fan, key, error);
        unlockOriginal_ = *unlock;
        try {
            write_(kUnlockKey, 1);
        } catch (const std::exception& failure) {
            giveUp(fan, key, failure.what());
        }
    }

    const double deadline = now_() + retrySeconds;
    for (int attempt = 0; attempt < retryAttempts; ++attempt) {
        if (now_() >= deadline) break;
        wait_();
        try {
            write_(key, 1);
            return;
        } catch (const std::exception& failure) {
            error = failure.what();
        }
    }
    giveUp(fan, key, error);
}

void AppleSiliconFanControl::giveUp(int fan, const std::string& key, const std::string& error) {
    try {
        restore(fan, key);
    } catch (const std::exception& failure) {
        throw ScopeError(error + fancontrol::messages::kJoin +
                         fancontrol::messages::kRestoreFailed + failure.what());
    }
    throw ScopeError(error);
}

void AppleSiliconFanControl::restore(int fan, const std::string& key) {
    const auto held = originals_.find(fan);
    const double original = held != originals_.end() ? held->second.mode : 0;
    std::optional<std::string> error;
    try {
        write_(key, original);
    } catch (const std::exception& failure) {
        error = failure.what();
    }

    // The unlock flag goes back only with the last fan this controller holds.
    const bool last = !holdsOtherThan(fan);
    if (last && unlockOriginal_) {
        try {
            write_(kUnlockKey, *unlockOriginal_);
            unlockOriginal_.reset();
        } catch (const std::exception& failure) {
            error = failure.what();
        }
    }

    const auto mode = read_(key);
    bool failed = !mode || !automatic(*mode);
    if (last) {
        const auto unlock = read_(kUnlockKey);
        if ((unlock && *unlock != 0) || unlockOriginal_) failed = true;
    }
    if (failed) throw ScopeError(error ? *error : kRestoreUnconfirmed);
    // The fan is verifiably automatic, so earlier write errors no longer matter.
    originals_.erase(fan);
}

}  // namespace pyrelle
