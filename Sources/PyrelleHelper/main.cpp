// PyrelleHelper: one command per run. Monitoring commands run for any user; fan commands
// need the effective user id 0 (see README, "Security model").
#include <unistd.h>

#include <iostream>

#include "FanProbe.hpp"
#include "HelperEntry.hpp"

int main(int argc, char** argv) {
    using namespace pyrelle::helper;
    const Arguments args(argv, argv + argc);

    HelperCommands commands;
    commands.isAdministrator = [] { return geteuid() == 0; };
    commands.fanProbe = [](const Arguments&, std::ostream& out) { out << fanProbeJSON() << '\n'; };

    return runHelper(args, commands, std::cout, std::cerr);
}
