#include "ControlSession.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <thread>

#include "CSMC.h"
#include "LeaseCommands.hpp"
#include "OwnerWatch.hpp"
#include "pyrelle/ControlChannel.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::helper {

void lowerThreadPriority();

namespace {

constexpr const char* kIdentityRefused = "原生授权会话身份验证失败";

// A session whose lease did not stop within the bound: kept reachable until the process exits,
// because the lease thread still uses it.
SessionControl* abandonedSession = nullptr;

}  // namespace

ServeEnvironment ServeEnvironment::system() {
    ServeEnvironment environment;
    environment.isAdministrator = [] { return geteuid() == 0; };
    environment.realUser = [] { return static_cast<uint32_t>(getuid()); };
    auto owners = std::make_shared<OwnerWatch>(
        [](int32_t pid, uint32_t uid) { return pyr_owner_alive(pid, uid) == 1; });
    environment.ownerAlive = [owners](int32_t pid, uint32_t uid) {
        return owners->alive(pid, uid);
    };
    environment.stopSignalled = [] { return pyr_should_stop() == 1; };
    environment.installStopHandlers = [] { pyr_install_stop_handlers(); };
    environment.exitProcess = [](const std::optional<std::string>& failure) {
        if (failure) {
            const std::string line = *failure + "\n";
            [[maybe_unused]] const ssize_t ignored = ::write(2, line.data(), line.size());
            std::_Exit(1);
        }
        std::_Exit(0);
    };
    return environment;
}

void runControlSession(const Arguments& args, const ServeEnvironment& environment,
                       const std::function<SessionDependencies()>& makeDependencies) {
    if (!environment.isAdministrator() || args.size() != 4) throw ScopeError(kIdentityRefused);
    const auto pid = parseDecimal(args[2]);
    const auto uid = parseDecimal(args[3]);
    if (!pid || *pid < std::numeric_limits<int32_t>::min() ||
        *pid > std::numeric_limits<int32_t>::max() || !uid || *uid <= 0 ||
        *uid > std::numeric_limits<uint32_t>::max()) {
        throw ScopeError(kIdentityRefused);
    }
    const auto owner = static_cast<int32_t>(*pid);
    const auto ownerUid = static_cast<uint32_t>(*uid);
    if (environment.realUser() != ownerUid || !environment.ownerAlive(owner, ownerUid)) {
        throw ScopeError(kIdentityRefused);
    }

    signal(SIGPIPE, SIG_IGN);
    environment.installStopHandlers();

    SessionDependencies dependencies = makeDependencies();
    if (!dependencies.externalStop) {
        dependencies.externalStop = [&environment, owner, ownerUid] {
            return environment.stopSignalled() || !environment.ownerAlive(owner, ownerUid);
        };
    }
    // Owned here; left alive (not destroyed) if a lease outlives the final bounded wait,
    // because the lease thread still uses it until the process exits.
    auto control = std::make_unique<SessionControl>(owner, ownerUid, std::move(dependencies));
    ControlChannel requests(environment.input, environment.waitCap);
    ControlChannel replies(environment.output, environment.waitCap);

    std::atomic<bool> sessionOver{false};
    SessionControl* shared = control.get();
    std::thread ownerWatch([&environment, &sessionOver, shared, owner, ownerUid] {
        lowerThreadPriority();
        const auto period = std::chrono::duration<double>(environment.ownerWatchPeriod);
        while (!sessionOver.load()) {
            if (!environment.ownerAlive(owner, ownerUid) || environment.stopSignalled()) {
                shared->cancelAndWait();
                environment.exitProcess(shared->handBackFailure());
                return;
            }
            std::this_thread::sleep_for(period);
        }
    });

    std::exception_ptr channelFailure;
    try {
        while (true) {
            const auto line = requests.readLine(environment.readTimeout);
            if (!line) break;
            if (!environment.ownerAlive(owner, ownerUid)) break;
            ControlReply reply;
            bool shutdown = false;
            try {
                const ControlRequest request = decodeControlRequest(*line);
                reply = control->handle(request);
                shutdown = request.command == "shutdown";
            } catch (const std::exception& error) {
                reply = ControlReply::failure(error.what());
            }
            // A reply never exceeds the reply limit, whatever text a failure carries.
            replies.send(reply.fitted());
            if (shutdown) break;
        }
    } catch (...) {
        channelFailure = std::current_exception();
    }

    const bool stopped = control->stopAndWait();
    sessionOver.store(true);
    ownerWatch.join();
    // Every ending reports fans that are not back under automatic control.
    const auto handBackFailure = control->handBackFailure();
    if (!stopped) abandonedSession = control.release();
    if (channelFailure && handBackFailure) {
        throw ScopeError(describeFailure(channelFailure) + "；" + *handBackFailure);
    }
    if (channelFailure) std::rethrow_exception(channelFailure);
    if (handBackFailure) throw ScopeError(*handBackFailure);
}

}  // namespace pyrelle::helper
