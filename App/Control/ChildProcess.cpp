#include "Control/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kilnview {

namespace {

constexpr std::size_t kErrorLimit = 4096;

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

int ChildProcess::exitStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool pipes) {
    if (argv.empty()) throw std::runtime_error("no program to start");
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* pair : {in, out, err})
            for (int i = 0; i < 2; ++i) closeQuietly(pair[i]);
    };
    if ((pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        closeAll();
        throw std::runtime_error("cannot create pipes");
    }
    // Everything the child needs is prepared before fork: between fork and exec it makes
    // only system calls.
    std::vector<std::string> storage = argv;
    std::vector<char*> args;
    for (std::string& a : storage) args.push_back(a.data());
    args.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int ready[2] = {-1, -1};  // carries the child's errno when exec fails
    if (devNull < 0 || ::pipe2(ready, O_CLOEXEC) != 0) {
        if (devNull >= 0) ::close(devNull);
        closeAll();
        throw std::runtime_error("cannot start " + argv[0]);
    }
    sigset_t none;
    sigemptyset(&none);

    pid_ = ::fork();
    if (pid_ == 0) {
        // The child starts with default signal handling and an empty mask, whatever this
        // process blocks or ignores (Kilnview waits for its stop signals with them blocked).
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) ::signal(signal, SIG_DFL);
        }
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(pipes ? in[0] : devNull, 0);
        ::dup2(pipes ? out[1] : devNull, 1);
        ::dup2(err[1], 2);
        ::execvp(args[0], args.data());
        const int error = errno;
        ssize_t ignored = ::write(ready[1], &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    ::close(devNull);
    ::close(ready[1]);
    if (pid_ < 0) {
        ::close(ready[0]);
        closeAll();
        throw std::runtime_error("cannot start " + argv[0]);
    }
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(ready[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        int raw = 0;
        while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
        status_ = exitStatus(raw);
        closeAll();
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(childError));
    }
    if (pipes) {
        closeQuietly(in[0]);
        closeQuietly(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    closeQuietly(err[1]);
    error_ = err[0];
    ::fcntl(error_, F_SETFL, ::fcntl(error_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::ChildProcess(AdoptedChild child)
    : pid_(child.pid),
      pidfd_(child.pidfd),
      input_(child.input),
      output_(child.output),
      error_(child.error),
      statusPipe_(child.status),
      adopted_(true) {
    if (error_ >= 0) ::fcntl(error_, F_SETFL, ::fcntl(error_, F_GETFL) | O_NONBLOCK);
    if (statusPipe_ >= 0) ::fcntl(statusPipe_, F_SETFL, ::fcntl(statusPipe_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !poll()) kill();
    for (int* fd : {&input_, &output_, &error_, &statusPipe_, &pidfd_}) closeQuietly(*fd);
}

void ChildProcess::closeInput() {
    closeQuietly(input_);
}

void ChildProcess::signal(int number) {
    if (pid_ <= 0 || status_) return;
    if (adopted_) {
        if (pidfd_ >= 0) ::syscall(SYS_pidfd_send_signal, pidfd_, number, nullptr, 0);
        return;
    }
    ::kill(pid_, number);
}

std::optional<int> ChildProcess::poll() {
    if (status_ || pid_ <= 0) return status_;
    if (adopted_) {
        // The privileged part writes the status once it has reaped the child; an end of file
        // without it means that part is gone, and the child's end cannot be known: the pidfd
        // still tells whether it runs.
        int value = 0;
        const ssize_t got = statusPipe_ >= 0 ? ::read(statusPipe_, &value, sizeof value) : 0;
        if (got == static_cast<ssize_t>(sizeof value)) {
            status_ = value;
        } else if (got == 0) {
            pollfd fd{pidfd_, POLLIN, 0};
            if (pidfd_ < 0 || (::poll(&fd, 1, 0) == 1)) status_ = -1;
        }
        if (status_) closeQuietly(statusPipe_);
        return status_;
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = exitStatus(raw);
    return status_;
}

void ChildProcess::kill() {
    signal(SIGKILL);
    if (adopted_) {
        awaitAdoptedStatus(5000);
        return;
    }
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    status_ = exitStatus(raw);
}

void ChildProcess::awaitAdoptedStatus(int milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!poll() && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{statusPipe_, POLLIN, 0};
        ::poll(&fd, 1, 50);
    }
    if (!status_) status_ = -1;
}

int ChildProcess::finish(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!poll()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return *status_;
}

int ChildProcess::terminate(double seconds) {
    signal(SIGCONT);
    signal(SIGTERM);
    return finish(seconds);
}

void ChildProcess::drainErrors() {
    char buffer[1024];
    while (error_ >= 0) {
        const ssize_t n = ::read(error_, buffer, sizeof buffer);
        if (n > 0) {
            errors_.append(buffer, static_cast<std::size_t>(n));
            // The last words matter most: a late failure of the helper's guardian comes last.
            if (errors_.size() > kErrorLimit) errors_.erase(0, errors_.size() - kErrorLimit);
            continue;
        }
        if (n == 0) closeQuietly(error_);
        break;
    }
}

std::string ChildProcess::errorText() {
    drainErrors();
    std::string text = errors_;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool ChildProcess::errorsClosed() {
    drainErrors();
    return error_ < 0;
}

}  // namespace kilnview
