#include "Control/PrivilegeSeparation.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

namespace kilnview {

namespace {

constexpr uid_t kNobody = 65534;
constexpr unsigned kServe = 1;
constexpr unsigned kCooling = 2;
constexpr std::size_t kTokenLength = 36;
constexpr std::size_t kMostHelpers = 8;

// One request of the unprivileged part; nothing in it is a path or an argument but the token.
struct Request {
    std::uint32_t sequence = 0;  // echoed by the reply, so a late reply is never taken
    std::uint32_t kind = 0;
    char token[kTokenLength + 1] = {};
};

// The answer; the descriptors travel beside it: pidfd, error and status pipes, and for
// "serve" the input and output pipes as well.
struct Reply {
    std::uint32_t sequence = 0;
    std::int32_t pid = -1;
    char failure[240] = {};  // empty on success
};

std::optional<unsigned long> decimal(const char* text) {
    if (!text || *text == '\0') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value >= 4294967295UL || *text == '-') return std::nullopt;
    return value;
}

bool isUUID(const std::string& token) {
    if (token.size() != kTokenLength) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? token[i] != '-' : !std::isxdigit(static_cast<unsigned char>(token[i])))
            return false;
    }
    return true;
}

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The privileged part's whole life. Never returns.
[[noreturn]] void serveRequests(int channel, const std::string& helper, pid_t owner, uid_t user,
                                gid_t group) {
    prctl(PR_SET_NAME, "kilnview-root", 0, 0, 0);
    // Root in every id, so that no process of the user's (nor Kilnview's own unprivileged
    // rest) can stop or kill this part.
    if (::setresuid(0, 0, 0) != 0) ::_exit(1);
    // Terminal signals are meant for the application; this part ends with its socket.
    for (const int number : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE}) ::signal(number, SIG_IGN);
    if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (null > 2) ::close(null);
    }
    sigset_t children;
    sigemptyset(&children);
    sigaddset(&children, SIGCHLD);
    ::sigprocmask(SIG_SETMASK, &children, nullptr);
    const int reaped = ::signalfd(-1, &children, SFD_CLOEXEC | SFD_NONBLOCK);
    std::map<pid_t, int> statusPipes;  // running child → write end of its status pipe
    const std::string ownerText = std::to_string(owner);
    const std::string userText = std::to_string(user);

    for (;;) {
        pollfd waits[2] = {{channel, POLLIN, 0}, {reaped, POLLIN, 0}};
        if (::poll(waits, reaped >= 0 ? 2 : 1, reaped >= 0 ? -1 : 200) < 0 && errno != EINTR)
            ::_exit(1);
        signalfd_siginfo info;
        while (reaped >= 0 && ::read(reaped, &info, sizeof info) > 0) {
        }
        int raw = 0;
        for (pid_t child; (child = ::waitpid(-1, &raw, WNOHANG)) > 0;) {
            const auto it = statusPipes.find(child);
            if (it == statusPipes.end()) continue;
            const int status = ChildProcess::exitStatus(raw);
            [[maybe_unused]] const ssize_t ignored = ::write(it->second, &status, sizeof status);
            ::close(it->second);
            statusPipes.erase(it);
        }
        if (!(waits[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;

        Request request;
        const ssize_t got = ::recv(channel, &request, sizeof request, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) ::_exit(0);
        if (got < 0) continue;
        Reply reply;
        reply.sequence = request.sequence;
        const auto refuse = [&](const std::string& why) {
            std::snprintf(reply.failure, sizeof reply.failure, "%s", why.c_str());
            ::send(channel, &reply, sizeof reply, MSG_NOSIGNAL);
        };
        request.token[kTokenLength] = '\0';
        const std::string token = request.token;
        std::vector<std::string> argv;
        if (got != sizeof request) {
            refuse("malformed request");
            continue;
        } else if (request.kind == kServe) {
            argv = {helper, "serve", ownerText, userText};
        } else if (request.kind == kCooling && isUUID(token)) {
            argv = {helper, "cooling", ownerText, userText, token};
        } else {
            refuse("unknown request");
            continue;
        }
        const bool pipes = request.kind == kServe;
        // Kilnview runs one session and one cooling run at a time, and a helper that ended is
        // reaped here at once: more than a few at a time is not Kilnview asking.
        if (statusPipes.size() >= kMostHelpers) {
            refuse("too many helpers running");
            continue;
        }

        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1},
            ready[2] = {-1, -1};
        const auto closeAll = [&] {
            for (int* pair : {in, out, err, status, ready})
                for (int i = 0; i < 2; ++i) closeQuietly(pair[i]);
        };
        if ((pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) ||
            ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(status, O_CLOEXEC) != 0 ||
            ::pipe2(ready, O_CLOEXEC) != 0) {
            closeAll();
            refuse("cannot create pipes");
            continue;
        }
        std::vector<char*> args;
        for (std::string& word : argv) args.push_back(word.data());
        args.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            for (int number = 1; number < NSIG; ++number)
                if (number != SIGKILL && number != SIGSTOP) ::signal(number, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!pipes) {
                const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
                ::dup2(null, 0);
                ::dup2(null, 1);
            } else {
                ::dup2(in[0], 0);
                ::dup2(out[1], 1);
            }
            ::dup2(err[1], 2);
            // The user's real uid (the helper's owner checks want it) and root effective.
            int error = 0;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
                ::setresuid(user, 0, 0) != 0) {
                error = errno;
            } else {
                ::execv(args[0], args.data());
                error = errno;
            }
            [[maybe_unused]] const ssize_t ignored = ::write(ready[1], &error, sizeof error);
            ::_exit(127);
        }
        if (child < 0) {
            closeAll();
            refuse("cannot start the helper");
            continue;
        }
        // The child is not reaped before this point, so its pidfd names it and no other.
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
        closeQuietly(ready[1]);
        int childError = 0;
        ssize_t told;
        do {
            told = ::read(ready[0], &childError, sizeof childError);
        } while (told < 0 && errno == EINTR);
        if (told == static_cast<ssize_t>(sizeof childError) || pidfd < 0) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &raw, 0) < 0 && errno == EINTR) {
            }
            closeQuietly(pidfd);
            closeAll();
            refuse("cannot start " + helper + ": " +
                   std::strerror(childError != 0 ? childError : errno));
            continue;
        }
        statusPipes[child] = status[1];
        status[1] = -1;
        std::vector<int> handed = {pidfd, err[0], status[0]};
        if (pipes) {
            handed.push_back(in[1]);
            handed.push_back(out[0]);
        }
        reply.pid = child;
        std::vector<char> control(CMSG_SPACE(sizeof(int) * handed.size()));
        iovec data{&reply, sizeof reply};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * handed.size());
        std::memcpy(CMSG_DATA(header), handed.data(), sizeof(int) * handed.size());
        ::sendmsg(channel, &message, MSG_NOSIGNAL);
        closeQuietly(pidfd);
        closeAll();
    }
}

}  // namespace

UserChoice chooseUser(uid_t realUid, const char* sudoUid, const char* sudoGid,
                      const std::optional<std::string>& userName) {
    UserChoice choice;
    std::optional<gid_t> group;
    const passwd* entry = nullptr;
    if (userName) {
        // A name, or a numeric uid (which needs no account entry).
        entry = ::getpwnam(userName->c_str());
        const auto number = decimal(userName->c_str());
        if (!entry && !number) {
            choice.problem = "--user " + *userName + ": no such user";
            return choice;
        }
        choice.uid = entry ? entry->pw_uid : static_cast<uid_t>(*number);
    } else if (realUid != 0) {
        choice.uid = realUid;
    } else if (const auto sudo = decimal(sudoUid); sudo && *sudo != 0) {
        choice.uid = static_cast<uid_t>(*sudo);
        if (const auto sudoGroup = decimal(sudoGid)) group = static_cast<gid_t>(*sudoGroup);
    } else {
        choice.problem =
            "started as root without SUDO_UID: name the user Kilnview runs as with --user NAME "
            "(it never serves the web UI as root or as nobody)";
        return choice;
    }
    if (choice.uid == 0 || choice.uid == kNobody) {
        choice.problem =
            "Kilnview runs as an ordinary user, not as root or the shared nobody "
            "account: name yours with --user NAME";
        return choice;
    }
    if (!entry) entry = ::getpwuid(choice.uid);
    // The user's own group; a uid without an account entry gets the group of the same number
    // rather than a shared one.
    choice.gid = group.value_or(entry ? entry->pw_gid : static_cast<gid_t>(choice.uid));
    if (choice.gid == 0 || choice.gid == kNobody) choice.gid = static_cast<gid_t>(choice.uid);
    if (entry && entry->pw_dir) choice.home = entry->pw_dir;
    return choice;
}

HelperLauncher::HelperLauncher(const std::string& helper, uid_t user, gid_t group) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error(std::string("cannot create a socket pair: ") +
                                 std::strerror(errno));
    const pid_t owner = ::getpid();
    part_ = ::fork();
    if (part_ == 0) {
        ::close(pair[0]);
        serveRequests(pair[1], helper, owner, user, group);
    }
    ::close(pair[1]);
    if (part_ < 0) {
        ::close(pair[0]);
        throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    }
    socket_ = pair[0];
    // A privileged part that stopped answering must not hold an action for ever.
    timeval limit{20, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

HelperLauncher::~HelperLauncher() {
    closeQuietly(socket_);
    if (part_ > 0) {
        int raw = 0;
        for (int i = 0; i < 100 && ::waitpid(part_, &raw, WNOHANG) == 0; ++i) ::usleep(20000);
        if (::waitpid(part_, &raw, WNOHANG) == 0) {
            ::kill(part_, SIGKILL);
            while (::waitpid(part_, &raw, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

std::unique_ptr<ChildProcess> HelperLauncher::serve() {
    return request(kServe, {});
}

std::unique_ptr<ChildProcess> HelperLauncher::cooling(const std::string& token) {
    if (!isUUID(token)) throw std::runtime_error("not a cooling token: " + token);
    return request(kCooling, token);
}

std::unique_ptr<ChildProcess> HelperLauncher::request(unsigned kind, const std::string& token) {
    std::lock_guard<std::mutex> guard(lock_);
    Request request;
    request.sequence = ++sequence_;
    request.kind = kind;
    std::snprintf(request.token, sizeof request.token, "%s", token.c_str());
    if (::send(socket_, &request, sizeof request, MSG_NOSIGNAL) != sizeof request)
        throw std::runtime_error("the privileged part of Kilnview has gone");
    Reply reply;
    std::vector<int> fds;
    ssize_t got;
    msghdr message{};
    for (;;) {
        constexpr std::size_t kMostDescriptors = 5;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostDescriptors)];
        iovec data{&reply, sizeof reply};
        message = msghdr{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        do {
            got = ::recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
        } while (got < 0 && errno == EINTR);
        fds.clear();
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const auto* first = reinterpret_cast<const int*>(CMSG_DATA(header));
            fds.insert(fds.end(), first, first + count);
        }
        if (got != sizeof reply || reply.sequence == request.sequence) break;
        // The answer to a request given up on: its helper is asked to end (a lease it may have
        // started hands the fans back) and forgotten.
        if (!fds.empty()) ::syscall(SYS_pidfd_send_signal, fds[0], SIGTERM, nullptr, 0);
        for (int fd : fds) ::close(fd);
    }
    const std::size_t expected = kind == kServe ? 5 : 3;
    if (got != sizeof reply || reply.failure[0] != '\0' || fds.size() != expected ||
        (message.msg_flags & MSG_CTRUNC)) {
        for (int fd : fds) ::close(fd);
        reply.failure[sizeof reply.failure - 1] = '\0';
        throw std::runtime_error(
            got == sizeof reply && reply.failure[0] != '\0'
                ? std::string(reply.failure)
                : std::string("the privileged part of Kilnview did not answer"));
    }
    AdoptedChild child;
    child.pid = reply.pid;
    child.pidfd = fds[0];
    child.error = fds[1];
    child.status = fds[2];
    if (kind == kServe) {
        child.input = fds[3];
        child.output = fds[4];
    }
    return std::make_unique<ChildProcess>(child);
}

Privileges separatePrivileges(const std::string& helper, const std::optional<std::string>& user) {
    Privileges privileges;
    privileges.uid = ::getuid();
    if (::geteuid() != 0) return privileges;
    const UserChoice choice =
        chooseUser(::getuid(), std::getenv("SUDO_UID"), std::getenv("SUDO_GID"), user);
    if (!choice.problem.empty()) {
        privileges.problem = choice.problem;
        return privileges;
    }
    try {
        privileges.launcher = std::make_shared<HelperLauncher>(helper, choice.uid, choice.gid);
    } catch (const std::exception& error) {
        privileges.problem = error.what();
        return privileges;
    }
    // The user's own home, so the widget's status file lands where that user's widget reads
    // it rather than in root's home.
    if (!choice.home.empty()) ::setenv("HOME", choice.home.c_str(), 1);
    uid_t real = 0, effective = 0, saved = 0;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(choice.gid, choice.gid, choice.gid) != 0 ||
        ::setresuid(choice.uid, choice.uid, choice.uid) != 0 ||
        ::getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0 ||
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        privileges.problem =
            std::string("cannot give up administrator rights: ") + std::strerror(errno);
        privileges.launcher.reset();
        return privileges;
    }
    privileges.uid = choice.uid;
    return privileges;
}

}  // namespace kilnview
