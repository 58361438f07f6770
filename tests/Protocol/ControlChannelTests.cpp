// Framing, limits and failures of the control channel over real pipes and socket pairs.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "pyrelle/ControlChannel.hpp"
#include "pyrelle/ScopeError.hpp"

namespace {

using pyrelle::ControlChannel;

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeWrite();
        if (read >= 0) close(read);
    }
    void closeWrite() {
        if (write >= 0) close(write);
        write = -1;
    }
    void put(const std::string& bytes) const {
        ASSERT_EQ(::write(write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

std::string failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const pyrelle::ScopeError& e) {
        return e.what();
    }
    return "";
}

TEST(ControlChannel, TwoRequestsInOneReadComeBackOneAtATime) {
    Pipe p;
    p.put("{\"command\":\"hello\"}\n{\"command\":\"status\"}\n");
    ControlChannel channel(p.read);
    EXPECT_EQ(channel.readLine(5), "{\"command\":\"hello\"}");
    p.closeWrite();  // the second line must come from what was already read
    EXPECT_EQ(channel.readLine(5), "{\"command\":\"status\"}");
    EXPECT_EQ(channel.readLine(5), std::nullopt);
}

TEST(ControlChannel, LineLimitIs16383BytesPlusNewline) {
    {
        Pipe p;
        const std::string line(16383, 'a');
        std::thread writer([&] { p.put(line + "\n"); });
        ControlChannel channel(p.read);
        EXPECT_EQ(channel.readLine(5), line);
        writer.join();
    }
    Pipe p;
    std::thread writer([&] { p.put(std::string(16384, 'a')); });
    ControlChannel channel(p.read);
    EXPECT_EQ(failureOf([&] { channel.readLine(5); }), "控制消息过长");
    writer.join();
}

TEST(ControlChannel, EndOfInputMidLineIsEndOfInput) {
    Pipe p;
    p.put("{\"command\":");
    p.closeWrite();
    ControlChannel channel(p.read);
    EXPECT_EQ(channel.readLine(5), std::nullopt);
}

TEST(ControlChannel, SilentPeerHitsTheWaitCapWhateverTheTimeout) {
    Pipe p;
    ControlChannel channel(p.read, /*waitCap=*/0.05);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] { channel.readLine(86400); }), "辅助进程通信中断或超时");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ControlChannel, ElapsedCallerTimeoutIsAResponseTimeout) {
    Pipe p;
    double clock = 100;
    ControlChannel channel(p.read, 150, [&clock] { return clock += 1; });
    EXPECT_EQ(failureOf([&] { channel.readLine(0.5); }), "辅助进程响应超时");
}

TEST(ControlChannel, ReadErrorIsReported) {
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // readable, read fails
    ControlChannel channel(directory);
    EXPECT_EQ(failureOf([&] { channel.readLine(1); }), "辅助进程读取失败");
    close(directory);
}

void ignoreSignal(int) {}

TEST(ControlChannel, InterruptedWaitsAndReadsAreRetried) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: poll and read see EINTR
    sigaction(SIGUSR1, &action, nullptr);
    Pipe p;
    ControlChannel channel(p.read);
    const pthread_t reader = pthread_self();
    std::thread interrupter([&] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pthread_kill(reader, SIGUSR1);
        }
        p.put("{\"command\":\"status\"}\n");
    });
    EXPECT_EQ(channel.readLine(10), "{\"command\":\"status\"}");
    interrupter.join();
}

TEST(ControlChannel, SendWritesOneCompactLine) {
    Pipe p;
    ControlChannel sender(p.write);
    sender.send(nlohmann::json{{"ok", true}, {"message", "风扇由系统管理"}});
    ControlChannel receiver(p.read);
    EXPECT_EQ(receiver.readLine(5), "{\"message\":\"风扇由系统管理\",\"ok\":true}");
}

TEST(ControlChannel, ReplyOverTheLimitIsNotSent) {
    Pipe p;
    ControlChannel sender(p.write);
    // {"m":"…"} is 8 bytes around the text; with the newline 16385 bytes in all.
    EXPECT_EQ(failureOf([&] {
                  sender.send(nlohmann::json{{"m", std::string(16376, 'x')}});
              }),
              "控制消息过长");
    EXPECT_NO_THROW(sender.send(nlohmann::json{{"m", std::string(16375, 'x')}}));
    p.closeWrite();
    ControlChannel receiver(p.read);
    EXPECT_EQ(receiver.readLine(5)->size(), 16383u);
    EXPECT_EQ(receiver.readLine(5), std::nullopt) << "nothing of the refused reply was written";
}

TEST(ControlChannel, PartialWritesToASlowPeerAreCompleted) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    int small = 1024;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const std::string text(15000, 'y');
    std::string received;
    std::thread reader([&] {
        char buffer[512];
        while (received.size() < text.size() + 9) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            const ssize_t n = read(fds[1], buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    ControlChannel sender(fds[0]);
    EXPECT_NO_THROW(sender.send(nlohmann::json{{"m", text}}));
    reader.join();
    EXPECT_EQ(received, "{\"m\":\"" + text + "\"}\n");
    close(fds[0]);
    close(fds[1]);
}

// Under SIGPIPE's default action too: a library caller need not have ignored the signal.
TEST(ControlChannel, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    const auto previous = signal(SIGPIPE, SIG_DFL);
    Pipe p;
    close(p.read);
    p.read = -1;
    ControlChannel sender(p.write);
    EXPECT_EQ(failureOf([&] { sender.send(nlohmann::json{{"ok", true}}); }), "辅助进程写入失败");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    signal(SIGPIPE, previous);
}

// A peer that has stopped reading: its buffer is full and nobody drains it.
struct StalledPeer {
    const char* name;
    bool socket;    // a socket pair instead of a pipe
    bool blocking;  // the writer's descriptor is left blocking
};

class StalledReader : public ::testing::TestWithParam<StalledPeer> {};

// The writer gives up after the wait cap, whatever kind of descriptor it writes to; it never
// waits for a reader that may never come back (before, a blocking write hung for good).
TEST_P(StalledReader, SendGivesUpAfterTheWaitCap) {
    int fds[2];  // [0] reads, [1] writes
    ASSERT_EQ(GetParam().socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds)
                                : pipe2(fds, O_CLOEXEC),
              0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, 'f');
    while (write(fds[1], filler.data(), filler.size()) > 0) {
    }
    if (GetParam().blocking) fcntl(fds[1], F_SETFL, 0);
    ControlChannel sender(fds[1], /*waitCap=*/0.01);
    EXPECT_EQ(failureOf([&] {
                  sender.send(nlohmann::json{{"ok", true}});
              }),
              "辅助进程通信中断或超时");
    close(fds[0]);
    close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(ControlChannel, StalledReader,
                         ::testing::Values(StalledPeer{"BlockingPipe", false, true},
                                           StalledPeer{"NonBlockingPipe", false, false},
                                           StalledPeer{"BlockingSocket", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
