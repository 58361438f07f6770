#pragma once
// `serve <pid> <uid>`: the long-running servant of one desktop-application process, speaking
// the control protocol on standard input and output until "shutdown", end of input, a channel
// failure, or the owner's exit. Every ending stops the running lease first.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "HelperEntry.hpp"
#include "SessionControl.hpp"

namespace pyrelle::helper {

struct ServeEnvironment {
    std::function<bool()> isAdministrator;  // effective uid 0
    std::function<uint32_t()> realUser;     // the process's real uid
    std::function<bool(int32_t, uint32_t)> ownerAlive;
    std::function<bool()> stopSignalled;
    std::function<void()> installStopHandlers;
    int input = 0;   // request descriptor
    int output = 1;  // reply descriptor
    double readTimeout = 86400;
    double waitCap = 150;           // longest single wait for a request
    double ownerWatchPeriod = 0.2;  // seconds
    // Ends the process after the owner watch saw the owner gone or a stop signal: with exit
    // status 0, or — given the failed hand-back's message — after writing it to standard error
    // with exit status 1.
    std::function<void(const std::optional<std::string>& failure)> exitProcess;

    static ServeEnvironment system();
};

// Runs the whole session. Throws ScopeError for refused arguments ("原生授权会话身份验证失败"),
// for a channel failure (after the lease was stopped), and — however the session ended — when
// the fans could not be handed back (a message containing "恢复自动风扇失败").
void runControlSession(const Arguments& args, const ServeEnvironment& environment,
                       const std::function<SessionDependencies()>& makeDependencies);

}  // namespace pyrelle::helper
