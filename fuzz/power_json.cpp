// Fuzzes the decoding of the power records that arrive in control requests (plans, backups)
// and of the logind inhibitor answer: any input must decode or fail with an error, never
// crash, and whatever decodes must survive its own checks and a round trip.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pyrelle/PowerBackup.hpp"
#include "pyrelle/PowerConfiguration.hpp"
#include "pyrelle/PowerOptimizationPlan.hpp"
#include "pyrelle/PowerOutcome.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SleepBlocker.hpp"

using namespace pyrelle;
using nlohmann::json;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Decodes `value` as T; absent when it is not one.
template <typename T>
std::optional<T> decode(const json& value) {
    try {
        return value.get<T>();
    } catch (const ScopeError&) {
    } catch (const json::exception&) {
    }
    return std::nullopt;
}

template <typename T>
void roundTrip(const T& value) {
    const json encoded = value;
    const auto decoded = decode<T>(encoded);
    check(decoded.has_value() && *decoded == value);
}

void ignoringFailures(const std::function<void()>& action) {
    try {
        action();
    } catch (const ScopeError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto assertions = SleepBlocker::assertionsFromInhibitors(text)) {
        const auto blockers = SleepBlocker::fromAssertions(*assertions);
        for (size_t index = 1; index < blockers.size(); ++index)
            check(blockers[index - 1].id() <= blockers[index].id());
    }

    const json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) return 0;

    SleepBlocker::fromAssertions(value);

    const auto configuration = decode<PowerConfiguration>(value);
    if (configuration) roundTrip(*configuration);

    if (const auto plan = decode<PowerOptimizationPlan>(value)) {
        roundTrip(*plan);
        ignoringFailures([&] { plan->validate(); });
        ignoringFailures(
            [&] { plan->requireReadable(configuration.value_or(PowerConfiguration{})); });
        if (plan->expected) {
            for (const auto& edit : plan->edits(*plan->expected)) check(edit.before != edit.after);
        }
    }

    if (const auto backup = decode<PowerBackup>(value)) {
        check(backup->id.size() == 36);
        if (backup->date.isFinite()) roundTrip(*backup);
        try {
            backup->validate();
            // An accepted backup is one a transaction could have made.
            check(backup->edits.size() <= 6);
            for (const auto& edit : backup->edits)
                check(valid(edit.key, edit.before) && valid(edit.key, edit.after));
            check(!backup->turboBefore || *backup->turboBefore == 0 || *backup->turboBefore == 1);
        } catch (const ScopeError&) {
        }
    }

    if (const auto outcome = decode<PowerOutcome>(value)) {
        const bool finite = (!outcome->startedAt || outcome->startedAt->isFinite()) &&
                            (!outcome->backup || outcome->backup->date.isFinite());
        if (finite) roundTrip(*outcome);
    }
    return 0;
}
