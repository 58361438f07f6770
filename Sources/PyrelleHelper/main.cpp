// PyrelleHelper: one command per run. Monitoring commands run for any user; fan commands
// need the effective user id 0 (see README, "Security model").
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "CSMC.h"
#include <thread>

#include "ControlSession.hpp"
#include "FanProbe.hpp"
#include "GuardedFans.hpp"
#include "Guardian.hpp"
#include "HelperEntry.hpp"
#include "LeaseCommands.hpp"
#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/Snapshot.hpp"

int main(int argc, char** argv) {
    using namespace pyrelle::helper;
    const Arguments args(argv, argv + argc);
    const LeaseEnvironment environment = LeaseEnvironment::system();

    HelperCommands commands;
    commands.isAdministrator = [] { return geteuid() == 0; };
    commands.fanProbe = [](const Arguments&, std::ostream& out) { out << fanProbeJSON() << '\n'; };
    commands.probe = [](const Arguments&, std::ostream& out) {
        pyrelle::HardwareSampler sampler;
        const auto snapshot = sampler.probe([](double seconds) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        });
        out << pyrelle::encodeForProbe(snapshot) << '\n';
    };
    commands.cooling = [&environment](const Arguments& a, double duration, std::ostream& out) {
        runCooling(a, duration, out, environment);
    };
    commands.profile = [&environment](const Arguments& a, std::ostream& out) {
        runProfile(a, out, environment);
    };
    commands.restoreAuto = [](const Arguments& a, std::ostream& out) { runAuto(a, out); };
    commands.serve = [](const Arguments& a, std::ostream&) {
        runControlSession(a, ServeEnvironment::system(), [] {
            // The session's SMC lives until the process exits: a lease that outlived the final
            // bounded wait may still be handing fans back through it.
            static pyrelle::SMC* smc = nullptr;  // reachable to the end, never destroyed
            smc = new pyrelle::SMC();
            // Started here, while the helper has one thread, and never destroyed: its pipe ends
            // with the process, however the process ends.
            static Guardian* guardian = nullptr;
            guardian = new Guardian(guardianHandBack);
            static GuardedFans* fans = nullptr;
            fans = new GuardedFans(*smc, guardian);
            SessionDependencies dependencies;
            dependencies.hardware = fans;
            dependencies.makeSampler = [] {
                auto sampler = std::make_shared<pyrelle::HardwareSampler>();
                return std::function<pyrelle::Snapshot()>([sampler] { return sampler->sample(); });
            };
            dependencies.now = [] { return pyr_continuous_seconds(); };
            // No pause is injected: the lease waits on the session, which a stop wakes at once.
            dependencies.handBack = [](const std::vector<int>& ids) {
                pyrelle::CoolingLease::restoreAuto(*fans, ids, handBackRetry(*smc, true));
            };
            dependencies.retry = handBackRetry(*smc, false);
            dependencies.reconnect = [] { smc->reopen(); };
            dependencies.beginLease = [](double seconds) { fans->begin(seconds); };
            dependencies.handedBack = [] { fans->handedBack(); };
            return dependencies;
        });
    };

    return runHelper(args, commands, std::cout, std::cerr);
}
