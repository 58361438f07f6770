#pragma once
// Processes that outlive the program a test started, such as the helper's guardian: the test
// process adopts them (it becomes their "subreaper"), can find them by name, and waits for
// them, so nothing a test started is left running after it.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pyrelle::testing {

// Orphaned descendants of this process become its children instead of init's.
inline void adoptOrphans() {
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

// Processes whose parent is `parent` and whose command name is `name`.
inline std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
    std::vector<pid_t> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream file(entry.path() / "stat");
        std::string stat;
        std::getline(file, stat);
        // "pid (comm) state ppid ...": the name may hold blanks, so split at the last ')'.
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && stat.substr(open + 1, close - open - 1) == name) {
            found.push_back(static_cast<pid_t>(std::stoi(pid)));
        }
    }
    return found;
}

// Waits at most `seconds` for every adopted child named `name` to end, then kills and reaps
// any still running. True when all of them ended by themselves.
inline bool reapAdopted(const std::string& name, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool onTime = true;
    while (true) {
        const auto children = childrenNamed(getpid(), name);
        if (children.empty()) return onTime;
        for (pid_t child : children) {
            if (std::chrono::steady_clock::now() >= deadline) {
                onTime = false;
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            } else {
                waitpid(child, nullptr, WNOHANG);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace pyrelle::testing
