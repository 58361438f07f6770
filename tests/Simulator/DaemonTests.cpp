// The PyrelleSimulator program itself: ready line, control client, raw socket clients, several
// clients at once, dropped connections, a clean exit that removes its socket, and the
// privilege boundary it keeps between users.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "pyrelle/sim/PeerPolicy.hpp"
#include "pyrelle/sim/SMCBlock.hpp"
#include "pyrelle/sim/WireFormat.hpp"
#include "support/Subprocess.hpp"

extern char** environ;

namespace pyrelle::sim::testing {
namespace {

const std::string kProgram = std::string(PYRELLE_BINARY_DIR) + "/Simulator/PyrelleSimulator";
const std::string kSetpriv = "/usr/bin/setpriv";

// A daemon started on a private socket; its first stdout line is captured.
class Daemon {
public:
    // `user`: start it as this user (through setpriv) instead of as root.
    explicit Daemon(const std::string& socketPath, const std::string& profile = "apple-m4-pro",
                    std::optional<uid_t> user = std::nullopt) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> argv = {kProgram, "--profile", profile, "--socket", socketPath};
        if (user) {
            const auto id = std::to_string(*user);
            argv.insert(argv.begin(), {kSetpriv, "--reuid", id, "--regid", id, "--clear-groups"});
        }
        try {
            pid_ = pyrelle::testing::spawnWatched(argv, {}, &actions);
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

// A child acting as another user, as setpriv would run it: it runs `body` and reports the
// body's one-line result, keeping whatever it opened until the object goes away (then it is
// killed and reaped). The device is a separate process, so the child may run any code.
class AsUser {
public:
    AsUser(uid_t uid, const std::function<std::string()>& body) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            std::string line = "cannot become uid " + std::to_string(uid);
            try {
                if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                    setresuid(uid, uid, uid) == 0) {
                    line = body();
                }
            } catch (...) {
                _exit(1);  // never back into the test runner
            }
            line += "\n";
            [[maybe_unused]] const auto n = write(fds[1], line.data(), line.size());
            for (;;) pause();
        }
        close(fds[1]);
        report_ = fds[0];
    }
    ~AsUser() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(report_);
    }
    // The body's result (empty when none came within 30 s).
    std::string report() {
        std::string line;
        char c;
        pollfd p{report_, POLLIN, 0};
        while (poll(&p, 1, 30000) > 0 && read(report_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

private:
    pid_t pid_ = -1;
    int report_ = -1;
};

// The status of one request as text; "closed" when the device hung up instead.
std::string statusOf(const std::string& socket, uint32_t selector,
                     const std::vector<uint8_t>& payload) {
    const int fd = connectTo(socket);
    const auto reply = fd >= 0 ? roundTrip(fd, selector, payload) : std::nullopt;
    if (fd >= 0) close(fd);
    char text[16] = "closed";
    if (reply) std::snprintf(text, sizeof text, "0x%08X", reply->word);
    return text;
}

std::vector<uint8_t> block(SMCCommand command, const char* key, uint8_t value) {
    SMCBlock b;
    b.key = FourCC(key);
    b.command = static_cast<uint8_t>(command);
    b.dataSize = 1;
    b.bytes[0] = value;
    return b.serialize();
}

// Reads are open to every user; writes need root, as on the real machine, whose SMC user
// client answers anyone else with kIOReturnNotPrivileged; control requests need root or the
// user who started the device. A refused request never reaches the device.
TEST_F(DaemonTest, KeepsTheRealMachinesPrivilegeBoundary) {
    constexpr uid_t kOwner = 1000, kStranger = 65534;
    ASSERT_EQ(chown(dir_.c_str(), kOwner, kOwner), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    Daemon daemon(socket_, "apple-m4-pro", kOwner);
    ASSERT_FALSE(daemon.readyLine().empty());
    const auto write = block(SMCCommand::writeBytes, "Ftst", 1);
    const std::string load = R"({"op":"load","value":1})";
    const std::vector<uint8_t> control(load.begin(), load.end());
    struct Case {
        uid_t peer;
        uint32_t selector;
        std::vector<uint8_t> payload;
        const char* status;
    };
    for (const auto& [peer, selector, payload, status] : std::vector<Case>{
             {kStranger, 2, keyInfo("TC0P"), "0x00000000"},
             {kStranger, 2, block(SMCCommand::readBytes, "F0Ac", 0), "0x00000000"},
             {kStranger, 17, {}, "0x00000000"},
             {kStranger, 2, write, "0xE00002C1"},
             {kOwner, 2, write, "0xE00002C1"},
             {kStranger, 2, block(static_cast<SMCCommand>(7), "Ftst", 1), "0xE00002C1"},
             {kStranger, 16, control, "0xE00002C1"},
             {kOwner, 16, control, "0x00000000"},
             {0, 16, control, "0x00000000"},
             {0, 2, write, "0x00000000"}}) {
        const auto asked = [&] { return statusOf(socket_, selector, payload); };
        EXPECT_EQ(peer == 0 ? asked() : AsUser(peer, asked).report(), status)
            << "uid " << peer << ", selector " << selector;
    }
    const auto state = nlohmann::json::parse(ctl(socket_, R"({"op":"state"})").out);
    EXPECT_EQ(state.at("writes"), (nlohmann::json{{"Ftst", 1}})) << "root's write alone";
    EXPECT_EQ(AsUser(kStranger, [&] { return std::to_string(ctl(socket_, load).status); }).report(),
              "1")
        << "ctl reports the refusal";
}

// However many connections other users open, they cannot take every slot: each user gets a
// share, all of them together leave the last slots to root, and root is still served.
TEST_F(DaemonTest, NoUserCanTakeTheSlotsRootNeeds) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    Daemon daemon(socket_);
    ASSERT_FALSE(daemon.readyLine().empty());
    const auto holder = [this](size_t count) {  // opens and keeps `count`, reports the served
        return [this, count] {
            size_t served = 0;
            for (size_t i = 0; i < count; ++i) {
                const int fd = connectTo(socket_);
                served += fd >= 0 && roundTrip(fd, 2, keyInfo("TC0P"));
            }
            return std::to_string(served);
        };
    };
    const size_t perUser = PeerPolicy::kPerUserClients;
    const size_t shared = PeerPolicy::kMaxClients - PeerPolicy::kReservedForRoot;
    std::vector<std::unique_ptr<AsUser>> users;
    for (size_t held = 0; held < shared;) {
        users.push_back(std::make_unique<AsUser>(65534 - users.size(), holder(perUser + 4)));
        const size_t served = std::stoul("0" + users.back()->report());
        ASSERT_EQ(served, std::min(perUser, shared - held)) << "user " << users.size();
        held += served;
    }
    EXPECT_EQ(AsUser(60000, holder(1)).report(), "0") << "the shared slots are all taken";
    std::vector<int> root;
    for (size_t i = 0; i < PeerPolicy::kReservedForRoot; ++i) {
        root.push_back(connectTo(socket_));
        EXPECT_TRUE(roundTrip(root.back(), 2, keyInfo("TC0P"))) << "root's connection " << i;
    }
    for (int fd : root) close(fd);
}

}  // namespace
}  // namespace pyrelle::sim::testing
