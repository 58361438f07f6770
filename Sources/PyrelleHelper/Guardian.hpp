#pragma once
// The guardian: a small process, forked from the helper before it first writes to a fan, that
// outlives the helper. The helper tells it over a pipe when the fans may be out of automatic
// control ("armed") and when they verifiably are back ("handed back"). When the pipe ends
// while it is armed — the helper was killed, crashed or exited with a failed hand-back — the
// guardian opens its own device connection, hands every fan back with bounded retries and
// exits. Otherwise it exits touching nothing.
//
// It reads nothing but those two pipe bytes and takes no arguments, so it cannot be used to
// drive the fans. It runs in its own session and process group and ignores the stop signals,
// so a kill of the helper or of the helper's process group leaves it running. It cannot cover
// a deliberate SIGKILL of the guardian itself (or of every process of the user), nor a loss
// of power; after those the fans stay as they were until `auto` or the next boot.
//
// It is a plain fork, without exec: there is no hidden command-line mode that anybody could
// start by hand, and the child needs nothing but code already in the helper. The fork happens
// while the helper has a single thread (the one-shot commands never start one; `serve` forks
// before its owner watch and lease threads), so the child inherits no lock held elsewhere.

#include <functional>
#include <mutex>

namespace pyrelle::helper {

class Guardian {
public:
    // The guardian's whole work once it must act: hand every fan back through a fresh device
    // connection; returns normally when they are verifiably automatic, throws otherwise.
    using HandBack = std::function<void()>;

    // Forks the guardian. Call it while the helper has a single thread (the child only runs
    // `handBack`, never returns, and writes nothing but a failure to standard error).
    // Throws ScopeError when the process cannot be started.
    explicit Guardian(const HandBack& handBack);
    // Closes the pipe: the guardian acts now if it is armed.
    ~Guardian();
    Guardian(const Guardian&) = delete;
    Guardian& operator=(const Guardian&) = delete;

    // Before a write that may take a fan out of automatic control. Thread-safe.
    void arm();
    // The fans are verifiably back under automatic control. Thread-safe.
    void handedBack();

    // The pipe bytes.
    static constexpr char kArm = 'A';
    static constexpr char kHandedBack = 'R';

    // The guardian process's body: reads `pipe` until it ends and hands the fans back if the
    // last word was kArm. Returns the exit status (0, or 1 after a failed hand-back, whose
    // message goes to standard error). Exposed so tests can run it in-process.
    static int watch(int pipe, const HandBack& handBack);

private:
    void send(char byte);

    std::mutex mutex_;
    int pipe_ = -1;       // write end; guarded by mutex_
    bool armed_ = false;  // guarded by mutex_
};

}  // namespace pyrelle::helper
