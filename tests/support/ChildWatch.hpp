#pragma once
// Guarantees that no process a test starts outlives the test process. Every child is started
// as the leader of a process group of its own (so whatever it forks can be killed with it) and
// handed to a small watcher process; if the test process ends without reaping the child —
// killed by a CTest timeout, a crash, SIGPIPE, an exception escaping to std::terminate — the
// watcher kills the child's whole group. A child that was reaped is ignored: the watcher holds
// a pidfd for it, which cannot name a recycled process id.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace pyrelle::testing {

class ChildWatch {
public:
    // Registers `pid`, a child of this process that leads its own process group.
    static void adopt(pid_t pid) { instance().send(kAdopt, pid); }

    // Drops `pid` once it has been reaped (keeps the watcher's table small in long runs).
    static void release(pid_t pid) { instance().send(kRelease, pid); }

private:
    static constexpr int kAdopt = 1;
    static constexpr int kRelease = 2;
    static constexpr int kCapacity = 4096;

    struct Message {
        int op;
        pid_t pid;
    };

    static ChildWatch& instance() {
        static ChildWatch watch;
        return watch;
    }

    ChildWatch() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
        const pid_t watcher = fork();
        if (watcher == 0) {
            watch(pair[1]);  // never returns
        }
        close(pair[1]);
        if (watcher < 0) {
            close(pair[0]);
            return;
        }
        socket_ = pair[0];
        // The watcher is not waited for: it ends with this process. Reaping it here would
        // need a thread; a zombie of it lives only as long as the test process.
    }

    void send(int op, pid_t pid) {
        std::lock_guard lock(mutex_);
        if (socket_ < 0 || pid <= 0) return;
        Message message{op, pid};
        iovec data{&message, sizeof message};
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        int pidfd = -1;
        if (op == kAdopt) pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            cmsghdr* rights = CMSG_FIRSTHDR(&header);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(rights), &pidfd, sizeof pidfd);
        }
        while (sendmsg(socket_, &header, MSG_NOSIGNAL) < 0 && errno == EINTR) {
        }
        if (pidfd >= 0) close(pidfd);
    }

    // The watcher: only system calls from here on (it is a fork of a possibly threaded
    // process). It keeps the registered children until the test process's end of the socket
    // closes, then kills every one still alive, with its process group.
    [[noreturn]] static void watch(int socket) {
        setpgid(0, 0);  // outside the test's group: a group kill of the test must not take it
        sigset_t all;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigprocmask(SIG_BLOCK, &all, nullptr);  // Ctrl-C and SIGTERM go to the test, not here
        if (socket > 3) dup2(socket, 3);
        const int in = 3;
        syscall(SYS_close_range, 0, 2, 0);
        syscall(SYS_close_range, 4, ~0U, 0);
        const int devnull = open("/dev/null", O_RDWR);  // becomes 0; 1 and 2 follow
        if (devnull == 0) {
            dup2(0, 1);
            dup2(0, 2);
        }
        pid_t pids[kCapacity];
        int fds[kCapacity];
        int count = 0;
        while (true) {
            Message message{};
            iovec data{&message, sizeof message};
            msghdr header{};
            header.msg_iov = &data;
            header.msg_iovlen = 1;
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(in, &header, MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the test process has gone
            int pidfd = -1;
            cmsghdr* rights = CMSG_FIRSTHDR(&header);
            if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS) {
                std::memcpy(&pidfd, CMSG_DATA(rights), sizeof pidfd);
            }
            if (message.op == kAdopt && count < kCapacity) {
                pids[count] = message.pid;
                fds[count] = pidfd;
                ++count;
            } else {
                if (pidfd >= 0) close(pidfd);
                for (int i = count - 1; i >= 0; --i) {
                    if (message.op == kRelease && pids[i] == message.pid) {
                        if (fds[i] >= 0) close(fds[i]);
                        pids[i] = pids[count - 1];
                        fds[i] = fds[count - 1];
                        --count;
                        break;
                    }
                }
            }
        }
        for (int i = 0; i < count; ++i) {
            // Without a pidfd (old kernel) the process id is trusted as is.
            const bool alive =
                fds[i] < 0 || syscall(SYS_pidfd_send_signal, fds[i], 0, nullptr, 0) == 0;
            if (!alive) continue;
            kill(-pids[i], SIGKILL);
            if (fds[i] >= 0) {
                syscall(SYS_pidfd_send_signal, fds[i], SIGKILL, nullptr, 0);
            } else {
                kill(pids[i], SIGKILL);
            }
        }
        _exit(0);
    }

    std::mutex mutex_;
    int socket_ = -1;
};

// Kills `pid` and the process group it leads. Safe after the group has emptied.
inline void killGroup(pid_t pid) {
    if (pid <= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

// Waits at most `seconds` for the child `pid` to end; then kills its group and reaps it.
// Returns the wait status; `timedOut` tells whether it had to be killed.
inline int reapOrKill(pid_t pid, double seconds, bool* timedOut = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    bool killed = false;
    while (true) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            killed = true;
            killGroup(pid);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ChildWatch::release(pid);
    if (timedOut != nullptr) *timedOut = killed;
    return status;
}

}  // namespace pyrelle::testing
