#pragma once
// PrivilegeSeparation: how a Kilnview started with administrator rights keeps root out of the
// process that parses HTTP. Before any thread starts, the process forks a small privileged
// part that stays root and answers only the rest of Kilnview, over a private socket pair. It
// does one thing: start PyrelleHelper. It builds every argument vector itself from a short
// fixed list of requests (the helper's path, the owner pid and the user are fixed when it is
// forked; the only word taken from a request is a cooling run's token, checked to be a UUID),
// starts the helper with the user's real uid and root as its effective and saved uid, and
// hands back the child's pidfd and pipes (SCM_RIGHTS). It reaps its children and writes each
// one's exit status to a pipe handed over with it. It ends when the socket closes.
//
// The rest of the process then drops every user and group id to the user's for good: no id
// 0, no supplementary groups, no capability, no new privileges through exec.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Control/ChildProcess.hpp"

namespace kilnview {

// The user an administrator-started Kilnview runs as: the one named by --user (a name or a
// numeric uid), else the real
// uid when it is not root (e.g. `setpriv --ruid N --euid 0`), else the sudo user. Never root
// and never the shared "nobody" account; `problem` says why none could be chosen.
struct UserChoice {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    std::string problem;
};
UserChoice chooseUser(uid_t realUid, const char* sudoUid, const char* sudoGid,
                      const std::optional<std::string>& userName);

// The unprivileged end of the privileged part. Thread-safe.
class HelperLauncher {
public:
    // Forks the privileged part for `helper`, which starts helpers owned by this process for
    // `user`. Call while this process is still single-threaded and root. Throws
    // std::runtime_error when it cannot.
    HelperLauncher(const std::string& helper, uid_t user, gid_t group);
    HelperLauncher(const HelperLauncher&) = delete;
    HelperLauncher& operator=(const HelperLauncher&) = delete;
    // Closes the socket (the privileged part then ends) and reaps the privileged part.
    ~HelperLauncher();

    // `PyrelleHelper serve <owner> <uid>`, its standard input and output as pipes.
    std::unique_ptr<ChildProcess> serve();
    // `PyrelleHelper cooling <owner> <uid> <token>`. Throws for a token that is not a UUID.
    std::unique_ptr<ChildProcess> cooling(const std::string& token);

    pid_t privilegedPid() const { return part_; }

private:
    std::unique_ptr<ChildProcess> request(unsigned kind, const std::string& token);

    std::mutex lock_;
    std::uint32_t sequence_ = 0;  // guarded by lock_
    int socket_ = -1;
    pid_t part_ = -1;
};

// The outcome of separating privileges at start.
struct Privileges {
    std::shared_ptr<HelperLauncher> launcher;  // set when started with administrator rights
    uid_t uid = 0;                             // the user every thread of Kilnview runs as
    std::string problem;                       // set: Kilnview must not start
};

// Forks the privileged part when the process has administrator rights (effective uid 0) and
// drops the rest to the chosen user; without them, changes nothing. Call first in main, before
// any thread starts.
Privileges separatePrivileges(const std::string& helper, const std::optional<std::string>& user);

}  // namespace kilnview
