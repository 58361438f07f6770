#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/PowerConfiguration.hpp"
#include "pyrelle/PowerEdit.hpp"
#include "pyrelle/PowerScope.hpp"
#include "pyrelle/PowerSetting.hpp"
#include "pyrelle/PowerSource.hpp"

namespace pyrelle {

// The power-setting change the application asks for. Decoding does not check it;
// `validate()` and `requireReadable()` do, before anything on the system is touched.
struct PowerOptimizationPlan {
    // One setting the plan wants on one source.
    struct Target {
        PowerSource source;
        PowerSetting setting;
        std::int64_t value;
        bool operator==(const Target&) const = default;
    };

    PowerSource source = PowerSource::ac;
    PowerScope scope = PowerScope::current;
    bool lowPower = false;
    std::optional<std::int64_t> displayMinutes;  // 2, 5 or 10
    std::optional<std::int64_t> idleMinutes;     // 5, 10 or 15
    bool disableTurbo = false;
    std::optional<PowerConfiguration> expected;  // the settings the plan was built against

    // Rejects display minutes other than 2/5/10 ("无效的显示器休眠时间"), then idle minutes
    // other than 5/10/15 ("无效的系统休眠时间").
    void validate() const;

    // Library use: the settings asked for, in the order they are applied — low power
    // (battery before AC for `batteryAutomatic`), display sleep, idle sleep.
    std::vector<Target> targets() const;

    // What applying the plan to `configuration` would change: targets whose current value
    // is known and differs, in target order.
    std::vector<PowerEdit> edits(const PowerConfiguration& configuration) const;

    // Checks the plan against the settings just read: valid, still matching `expected` on
    // every target, and every targeted setting readable.
    void requireReadable(const PowerConfiguration& configuration) const;

    bool operator==(const PowerOptimizationPlan&) const = default;
};

// JSON: keys equal the field names; absent optionals are omitted; `source`, `scope`,
// `lowPower` and `disableTurbo` are required.
void to_json(nlohmann::json& json, const PowerOptimizationPlan& plan);
void from_json(const nlohmann::json& json, PowerOptimizationPlan& plan);

}  // namespace pyrelle
