// PyrelleHelper: one command per run. Monitoring commands run for any user; fan commands
// need the effective user id 0 (see README, "Security model").
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "FanProbe.hpp"
#include "HelperEntry.hpp"
#include "LeaseCommands.hpp"
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

    return runHelper(args, commands, std::cout, std::cerr);
}
