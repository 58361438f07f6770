// The PyrelleSimulator program itself: ready line, control client, raw socket clients, several
// clients at once, dropped connections, and a clean exit that removes its socket.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "pyrelle/sim/SMCBlock.hpp"
#include "pyrelle/sim/WireFormat.hpp"
#include "support/Subprocess.hpp"

extern char** environ;

namespace pyrelle::sim::testing {
namespace {

const std::string kProgram = std::string(PYRELLE_BINARY_DIR) + "/Simulator/PyrelleSimulator";

// A daemon started on a private socket; its first stdout line is captured.
class Daemon {
public:
    explicit Daemon(const std::string& socketPath, const std::string& profile = "apple-m4-pro") {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        try {
            pid_ = pyrelle::testing::spawnWatched(
                {kProgram, "--profile", profile, "--socket", socketPath}, {}, &actions);
        } catch (...) {
            posix_spawn_file_actions_destroy(&actions);
            close(out[0]);
            close(out[1]);
            throw;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Daemon() {
        if (pid_ > 0) pyrelle::testing::reapOrKill(pid_, 0);
        if (out_ >= 0) close(out_);
    }

    // Output up to and including the first newline (empty when none within 10 s).
    std::string readyLine() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            line += c;
            if (c == '\n') break;
        }
        return line;
    }

    // Sends `signal` and returns the exit status (-1 when it does not exit within 10 s; it is
    // then killed).
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0) return -1;
        kill(pid_, signal);
        bool late = false;
        const int status = pyrelle::testing::reapOrKill(pid_, 10, &late);
        pid_ = -1;
        if (late) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

int connectTo(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request; absent when the daemon closed the connection instead of answering.
std::optional<WireFormat::Frame> roundTrip(int fd, uint32_t selector,
                                           const std::vector<uint8_t>& payload) {
    const auto frame = WireFormat::encode(selector, payload);
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        return std::nullopt;
    std::vector<uint8_t> buffer;
    uint8_t chunk[4096];
    for (;;) {
        const auto parsed = WireFormat::parse(buffer);
        if (parsed.outcome == WireFormat::Parse::complete) return parsed.frame;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return std::nullopt;
        buffer.insert(buffer.end(), chunk, chunk + n);
    }
}

std::vector<uint8_t> keyInfo(const char* key) {
    SMCBlock b;
    b.key = FourCC(key);
    b.command = static_cast<uint8_t>(SMCCommand::readKeyInfo);
    return b.serialize();
}

pyrelle::testing::ProcessResult ctl(const std::string& socket, const std::string& request) {
    return pyrelle::testing::runProcess({kProgram, "ctl", "--socket", socket, request},
                                        {.timeoutSeconds = 20});
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pyrelle-simtest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        socket_ = dir_ + "/smc.sock";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string dir_, socket_;
};

TEST_F(DaemonTest, ServesClientsAndRemovesItsSocketOnSigterm) {
    Daemon daemon(socket_);
    EXPECT_EQ(daemon.readyLine(), "PyrelleSimulator: apple-m4-pro ready on " + socket_ + "\n");
    ASSERT_TRUE(std::filesystem::exists(socket_));

    // An idle client stays connected while others come and go.
    const int idle = connectTo(socket_);
    ASSERT_GE(idle, 0);

    const auto profile = ctl(socket_, R"({"op":"profile"})");
    EXPECT_EQ(profile.status, 0) << profile.err;
    EXPECT_EQ(nlohmann::json::parse(profile.out)["brand"], "Apple M4 Pro");
    const auto bad = ctl(socket_, R"({"op":"melt"})");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("unknown op"), std::string::npos);

    const int fd = connectTo(socket_);
    ASSERT_GE(fd, 0);
    const auto info = roundTrip(fd, 2, keyInfo("TC0P"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->word, 0u);
    ASSERT_EQ(info->payload.size(), 80u);
    EXPECT_EQ(SMCBlock::parse(info->payload)->dataSize, 4u);
    const auto power = roundTrip(fd, 17, {});
    ASSERT_TRUE(power);
    EXPECT_EQ(nlohmann::json::parse(power->payload.begin(), power->payload.end())["brand"],
              "Apple M4 Pro");
    const auto unknown = roundTrip(fd, 99, {1, 2, 3});
    ASSERT_TRUE(unknown) << "a bad request gets an error status, the connection stays";
    EXPECT_NE(unknown->word, 0u);
    EXPECT_TRUE(roundTrip(idle, 2, keyInfo("F0Ac")));

    // A dropped connection closes the next user-client caller's socket, once.
    ASSERT_EQ(ctl(socket_, R"({"op":"fault","kind":"drop-connection"})").status, 0);
    EXPECT_FALSE(roundTrip(fd, 2, keyInfo("TC0P")));
    close(fd);
    const int again = connectTo(socket_);
    EXPECT_TRUE(roundTrip(again, 2, keyInfo("TC0P")));
    close(again);

    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(socket_));
    close(idle);
}

TEST_F(DaemonTest, OversizedRequestsAreRefusedAndTheDaemonLivesOn) {
    Daemon daemon(socket_, "intel");
    ASSERT_FALSE(daemon.readyLine().empty());
    const int fd = connectTo(socket_);
    uint8_t header[8];
    WireFormat::put32(header, 2);
    WireFormat::put32(header + 4, 0x7FFFFFFF);
    ASSERT_EQ(send(fd, header, sizeof header, MSG_NOSIGNAL), 8);
    uint8_t reply[8];
    ASSERT_EQ(recv(fd, reply, sizeof reply, MSG_WAITALL), 8);
    EXPECT_EQ(static_cast<int32_t>(WireFormat::get32(reply)), status::kBadArgument);
    EXPECT_EQ(recv(fd, reply, 1, 0), 0) << "then hangs up";
    close(fd);
    EXPECT_EQ(ctl(socket_, R"({"op":"state"})").status, 0);
    EXPECT_EQ(daemon.stop(SIGINT), 0);
    EXPECT_FALSE(std::filesystem::exists(socket_));
}

TEST_F(DaemonTest, RefusesALiveSocketAndReplacesAStaleOne) {
    Daemon first(socket_);
    ASSERT_FALSE(first.readyLine().empty());
    const auto second = pyrelle::testing::runProcess(
        {kProgram, "--profile", "intel", "--socket", socket_}, {.timeoutSeconds = 20});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already serves"), std::string::npos);
    EXPECT_EQ(first.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(std::filesystem::exists(socket_)) << "a killed daemon leaves its socket behind";
    Daemon third(socket_);
    EXPECT_FALSE(third.readyLine().empty());
    EXPECT_EQ(third.stop(), 0);
}

TEST_F(DaemonTest, RejectsBadCommandLines) {
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {kProgram},
             {kProgram, "--profile", "nonesuch", "--socket", socket_},
             {kProgram, "--profile", "intel"},
             {kProgram, "--profile", "intel", "--socket", socket_, "--keys", "many"},
             {kProgram, "ctl", "--socket", socket_ + ".missing", "{}"}}) {
        const auto result = pyrelle::testing::runProcess(argv, {.timeoutSeconds = 20});
        EXPECT_NE(result.status, 0) << argv.size();
        EXPECT_FALSE(result.err.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(socket_));
}

}  // namespace
}  // namespace pyrelle::sim::testing
