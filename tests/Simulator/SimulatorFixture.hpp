#pragma once
// A VirtualSMC on a fake clock, with a block-level probe and a control shortcut.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DeviceProbe.hpp"
#include "support/FakeClock.hpp"

namespace pyrelle::sim::testing {

struct SimulatedMac {
    explicit SimulatedMac(const std::string& profile = "apple-m4-pro")
        : device(std::make_shared<VirtualSMC>(*Profile::named(profile),
                                              [this] { return clock.now(); })),
          probe(*device) {}

    nlohmann::json control(const nlohmann::json& request) { return device->control(request); }
    nlohmann::json state() { return control({{"op", "state"}}); }
    void ok(const nlohmann::json& request) {
        const auto reply = control(request);
        ASSERT_TRUE(reply.value("ok", false)) << request.dump() << " -> " << reply.dump();
    }
    int writes(const std::string& key) { return state()["writes"].value(key, 0); }
    void advance(double seconds) { clock.advance(seconds); }

    pyrelle::testing::FakeClock clock;
    std::shared_ptr<VirtualSMC> device;
    DeviceProbe probe;
};

}  // namespace pyrelle::sim::testing
