#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "CSMC.h"
#include "support/FakeSMCDevice.hpp"

namespace {

using namespace std::chrono_literals;
using pyrelle::testing::FakeSMCDevice;

// Blocking helpers for the test server side; false when the peer went away.
bool readExactly(int fd, void* data, size_t size) {
    auto* at = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = ::recv(fd, at, size, 0);
        if (got <= 0) return false;
        at += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t size) {
    const auto* at = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, at, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        at += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

struct Request {
    uint32_t selector = 0;
    std::vector<uint8_t> payload;
};

bool readRequest(int fd, Request& request) {
    uint32_t header[2];
    if (!readExactly(fd, header, sizeof(header))) return false;
    request.selector = header[0];  // the test host is little-endian, like the wire
    request.payload.resize(header[1]);
    return header[1] == 0 || readExactly(fd, request.payload.data(), header[1]);
}

bool writeResponse(int fd, int32_t status, const std::vector<uint8_t>& payload) {
    uint32_t header[2] = {static_cast<uint32_t>(status), static_cast<uint32_t>(payload.size())};
    return writeAll(fd, header, sizeof(header)) && writeAll(fd, payload.data(), payload.size());
}

// Waits until `fd` has data (or its peer closed); false once the test is over.
bool waitReadable(int fd, const std::atomic<bool>& stopping) {
    while (!stopping) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10) > 0) return true;
    }
    return false;
}

// A listening socket at a private path; each accepted connection is served by `serve` on
// the server thread. Stops (and unblocks its connection) when destroyed.
class TestServer {
public:
    using Serve = std::function<void(int fd, const std::atomic<bool>& stopping)>;

    explicit TestServer(Serve serve) : serve_(std::move(serve)) {
        char pattern[] = "/tmp/pyrelle-csmc-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        path_ = directory_ + "/smc.sock";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 8) != 0) {
            ADD_FAILURE() << "cannot listen at " << path_;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~TestServer() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
        ::unlink(path_.c_str());
        ::rmdir(directory_.c_str());
    }

    const std::string& path() const { return path_; }
    int connections() const { return connections_; }

private:
    void run() {
        while (!stopping_) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            serve_(fd, stopping_);
            ::close(fd);
        }
    }

    Serve serve_;
    std::string directory_;
    std::string path_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Serves requests by handing them to `device`, as the virtual SMC device would.
TestServer::Serve deviceServer(std::shared_ptr<FakeSMCDevice> device) {
    return [device](int fd, const std::atomic<bool>& stopping) {
        Request request;
        while (waitReadable(fd, stopping) && readRequest(fd, request)) {
            std::vector<uint8_t> reply;
            const int32_t status = device->exchange(request.selector, request.payload, reply);
            if (!writeResponse(fd, status, reply)) return;
        }
    };
}

// Waits (bounded) until the test is over, reading and discarding whatever arrives.
void stayQuiet(int fd, const std::atomic<bool>& stopping) {
    while (!stopping) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10) > 0) {
            uint8_t sink[256];
            if (::recv(fd, sink, sizeof(sink), 0) <= 0) return;
        }
    }
}

class SocketDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        pyrelle::csmc::installDevice(nullptr);
        pyrelle::csmc::setExchangeTimeout(300ms);
    }
    void TearDown() override {
        for (uint32_t connection : opened) pyr_smc_close(connection);
        ::unsetenv("PYRELLE_SMC_SOCKET");
        pyrelle::csmc::setExchangeTimeout(pyrelle::csmc::kDefaultExchangeTimeout);
        pyrelle::csmc::setProbeClock(nullptr);
    }

    uint32_t openAt(const std::string& path) {
        ::setenv("PYRELLE_SMC_SOCKET", path.c_str(), 1);
        const uint32_t connection = pyr_smc_open();
        if (connection != 0) opened.push_back(connection);
        return connection;
    }

    std::vector<uint32_t> opened;
};

TEST_F(SocketDeviceTest, OpenFailsWithoutVariableOrListener) {
    ::unsetenv("PYRELLE_SMC_SOCKET");
    EXPECT_EQ(pyr_smc_open(), 0u);
    EXPECT_EQ(openAt(""), 0u);
    EXPECT_EQ(openAt("/nonexistent/pyrelle/smc.sock"), 0u);
    EXPECT_EQ(openAt(std::string(200, 'x')), 0u);  // longer than a socket path can be
    ::setenv("PYRELLE_SMC_SOCKET", "/nonexistent/pyrelle/smc.sock", 1);
    EXPECT_TRUE(pyrelle::csmc::deviceConfigured());
    std::vector<uint8_t> reply;
    EXPECT_EQ(pyrelle::csmc::deviceExchange(17, {}, reply), PYR_KERN_NOT_RESPONDING);
}

TEST_F(SocketDeviceTest, ReadsWritesAndEnumeratesOverTheWire) {
    auto device = std::make_shared<FakeSMCDevice>();
    device->setKey("F0Md", "ui8 ", {0});
    device->setKey("TC0P", "sp78", {0x32, 0x80});
    TestServer server(deviceServer(device));
    const uint32_t connection = openAt(server.path());
    ASSERT_NE(connection, 0u);

    PYRValue value{};
    ASSERT_EQ(pyr_smc_read(connection, "TC0P", &value), 0);
    EXPECT_DOUBLE_EQ(pyr_decode(&value), 50.5);
    char key[5];
    ASSERT_EQ(pyr_smc_key_at_index(connection, 0, key), 0);
    EXPECT_STREQ(key, "F0Md");
    PYRValue mode{1, PYR_TYPE_UI8, {1}};
    ASSERT_EQ(pyr_smc_write(connection, "F0Md", &mode), 0);
    EXPECT_EQ(device->bytesOf("F0Md"), std::vector<uint8_t>{1});
    EXPECT_EQ(pyr_smc_read(connection, "NONE", &value), FakeSMCDevice::kKeyNotFound);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(SocketDeviceTest, KernelStatusAndWrongLengthFromTheWire) {
    auto device = std::make_shared<FakeSMCDevice>();
    device->setKey("TC0P", "sp78", {0x32, 0x80});
    TestServer server(deviceServer(device));
    const uint32_t connection = openAt(server.path());
    ASSERT_NE(connection, 0u);
    PYRValue value{};
    const auto kernelError = static_cast<int32_t>(0xE00002BCu);
    device->scriptFault({.status = kernelError});
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &value), kernelError);
    device->scriptFault({.replyLength = 81});
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &value), -1);
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &value), 0) << "the stream stays in step";
}

TEST_F(SocketDeviceTest, OneShotExchangeForControlSelectors) {
    auto device = std::make_shared<FakeSMCDevice>();
    device->setOtherReply(0, {'o', 'k'});
    TestServer server(deviceServer(device));
    ::setenv("PYRELLE_SMC_SOCKET", server.path().c_str(), 1);
    const std::string json = R"({"op":"state"})";
    std::vector<uint8_t> reply;
    ASSERT_EQ(pyrelle::csmc::deviceExchange(
                  pyrelle::csmc::kSelectorControl,
                  {reinterpret_cast<const uint8_t*>(json.data()), json.size()}, reply),
              0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{'o', 'k'}));
    const auto exchanges = device->exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].first, pyrelle::csmc::kSelectorControl);
    EXPECT_EQ(std::string(exchanges[0].second.begin(), exchanges[0].second.end()), json);
}

// A peer that misbehaves once, then the same connection is tried again: each failure is a
// kernel-style status, and after the stream broke later calls fail at once.
struct HostileCase {
    const char* name;
    TestServer::Serve serve;
    int32_t first;
};

class HostilePeerTest : public SocketDeviceTest,
                        public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePeerTest, GivesStatusAndFailsFastAfterwards) {
    TestServer server(GetParam().serve);
    const uint32_t connection = openAt(server.path());
    ASSERT_NE(connection, 0u);
    PYRValue value{};
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &value), GetParam().first);

    pyrelle::csmc::setExchangeTimeout(10s);  // a hang here would show as a test timeout
    const auto start = std::chrono::steady_clock::now();
    char key[5];
    EXPECT_EQ(pyr_smc_key_at_index(connection, 0, key), PYR_KERN_NOT_RESPONDING);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, HostilePeerTest,
    ::testing::Values(HostileCase{"ClosesBeforeRequest", [](int, const std::atomic<bool>&) {},
                                  PYR_KERN_NOT_RESPONDING},
                      HostileCase{"ClosesMidHeader",
                                  [](int fd, const std::atomic<bool>&) {
                                      Request request;
                                      if (readRequest(fd, request)) writeAll(fd, "\0\0", 2);
                                  },
                                  PYR_KERN_NOT_RESPONDING},
                      HostileCase{"ClosesMidPayload",
                                  [](int fd, const std::atomic<bool>&) {
                                      Request request;
                                      uint32_t header[2] = {0, 80};
                                      if (readRequest(fd, request))
                                          writeAll(fd, header, sizeof(header));
                                      writeAll(fd, std::string(40, 'x').data(), 40);
                                  },
                                  PYR_KERN_NOT_RESPONDING},
                      HostileCase{"SendsUnaskedBytes",
                                  [](int fd, const std::atomic<bool>& stopping) {
                                      // A valid key-info answer followed by three stray bytes.
                                      Request request;
                                      if (!readRequest(fd, request) || request.payload.size() != 80)
                                          return;
                                      std::vector<uint8_t> message(8 + 80 + 3, 0);
                                      message[4] = 80;
                                      message[8 + 28] = 2;  // data size 2
                                      writeAll(fd, message.data(), message.size());
                                      stayQuiet(fd, stopping);
                                  },
                                  PYR_KERN_NOT_RESPONDING},
                      HostileCase{"StaysSilent", stayQuiet, PYR_KERN_TIMEOUT},
                      HostileCase{"AnswersHalfThenStalls",
                                  [](int fd, const std::atomic<bool>& stopping) {
                                      Request request;
                                      uint32_t header[2] = {0, 80};
                                      if (readRequest(fd, request))
                                          writeAll(fd, header, sizeof(header));
                                      stayQuiet(fd, stopping);
                                  },
                                  PYR_KERN_TIMEOUT},
                      HostileCase{"ClaimsHugeLength",
                                  [](int fd, const std::atomic<bool>& stopping) {
                                      Request request;
                                      uint32_t header[2] = {0, 0xFFFFFFFFu};
                                      if (readRequest(fd, request))
                                          writeAll(fd, header, sizeof(header));
                                      stayQuiet(fd, stopping);
                                  },
                                  PYR_KERN_MESSAGE_TOO_LARGE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketDeviceTest, BatchesSpanSeveralWindowsOnOneConnection) {
    auto device = std::make_shared<FakeSMCDevice>();
    constexpr uint32_t keyCount = 300;  // more than two windows of requests
    for (uint32_t i = 0; i < keyCount; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "T%03u", i);
        device->setKey(name, "sp78", {static_cast<uint8_t>(i % 100), 0});
    }
    TestServer server(deviceServer(device));
    const uint32_t connection = openAt(server.path());
    ASSERT_NE(connection, 0u);

    const auto listed = std::make_unique<char[][5]>(keyCount + 2);
    std::vector<int32_t> results(keyCount + 2);
    ASSERT_EQ(pyr_smc_keys_at(connection, 0, keyCount + 2, listed.get(), results.data()), 0);
    std::vector<const char*> keys;
    for (uint32_t i = 0; i < keyCount; ++i) {
        ASSERT_EQ(results[i], 0) << i;
        keys.push_back(listed[i]);
    }
    EXPECT_EQ(results[keyCount], FakeSMCDevice::kKeyNotFound);
    EXPECT_EQ(results[keyCount + 1], FakeSMCDevice::kKeyNotFound);

    std::vector<PYRValue> values(keyCount);
    ASSERT_EQ(pyr_smc_read_many(connection, keys.data(), keyCount, values.data(), results.data()),
              0);
    for (uint32_t i = 0; i < keyCount; ++i) {
        ASSERT_EQ(results[i], 0) << i;
        EXPECT_EQ(pyr_decode(&values[i]), static_cast<double>(i % 100)) << keys[i];
    }
    PYRValue single{};
    EXPECT_EQ(pyr_smc_read(connection, "T042", &single), 0) << "the stream stays in step";
    EXPECT_EQ(server.connections(), 1);
}

// A peer that answers the first three requests of a batch and then fails: those three keep
// their answers, the fourth gets the failure, and the rest fail at once without waiting.
struct BatchFailureCase {
    const char* name;
    bool closes;  // else it falls silent
    int32_t fourth;
};

class BatchFailureTest : public SocketDeviceTest,
                         public ::testing::WithParamInterface<BatchFailureCase> {};

TEST_P(BatchFailureTest, EarlierAnswersStandAndTheRestFailOnce) {
    auto device = std::make_shared<FakeSMCDevice>();
    device->setKey("TC0P", "sp78", {0x32, 0x80});
    const bool closes = GetParam().closes;
    TestServer server([device, closes](int fd, const std::atomic<bool>& stopping) {
        Request request;
        for (int answered = 0; answered < 3 && readRequest(fd, request); ++answered) {
            std::vector<uint8_t> reply;
            const int32_t status = device->exchange(request.selector, request.payload, reply);
            if (!writeResponse(fd, status, reply)) return;
        }
        if (!closes) stayQuiet(fd, stopping);
    });
    const uint32_t connection = openAt(server.path());
    ASSERT_NE(connection, 0u);

    constexpr uint32_t count = 10;
    char listed[count][5] = {};
    int32_t results[count] = {};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(pyr_smc_keys_at(connection, 0, count, listed, results), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "one timeout at most";
    EXPECT_EQ(results[0], 0);
    EXPECT_STREQ(listed[0], "TC0P");
    EXPECT_EQ(results[1], FakeSMCDevice::kKeyNotFound);
    EXPECT_EQ(results[2], FakeSMCDevice::kKeyNotFound);
    EXPECT_EQ(results[3], GetParam().fourth);
    for (uint32_t i = 4; i < count; ++i) EXPECT_EQ(results[i], PYR_KERN_NOT_RESPONDING) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, BatchFailureTest,
    ::testing::Values(BatchFailureCase{"Closes", true, PYR_KERN_NOT_RESPONDING},
                      BatchFailureCase{"FallsSilent", false, PYR_KERN_TIMEOUT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketDeviceTest, DeviceExchangeKeepsOneConnectionAndReplacesAClosedOne) {
    auto device = std::make_shared<FakeSMCDevice>();
    device->setOtherReply(0, {'o', 'k'});
    std::atomic<int> hungUp{0};
    // Each connection answers two requests, then the device hangs up on it.
    TestServer server([device, &hungUp](int fd, const std::atomic<bool>& stopping) {
        Request request;
        for (int answered = 0;
             answered < 2 && waitReadable(fd, stopping) && readRequest(fd, request); ++answered) {
            std::vector<uint8_t> reply;
            const int32_t status = device->exchange(request.selector, request.payload, reply);
            if (!writeResponse(fd, status, reply)) break;
        }
        ::shutdown(fd, SHUT_RDWR);
        ++hungUp;
    });
    ::setenv("PYRELLE_SMC_SOCKET", server.path().c_str(), 1);
    std::vector<uint8_t> reply;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(pyrelle::csmc::deviceExchange(pyrelle::csmc::kSelectorPowerManager, {}, reply),
                  0);
    }
    EXPECT_EQ(server.connections(), 1);
    for (int i = 0; i < 500 && hungUp == 0; ++i) std::this_thread::sleep_for(2ms);
    ASSERT_EQ(hungUp, 1);
    EXPECT_EQ(pyrelle::csmc::deviceExchange(pyrelle::csmc::kSelectorPowerManager, {}, reply), 0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{'o', 'k'}));
    EXPECT_EQ(server.connections(), 2);
}

// The probes' clock, held still unless a test moves it.
std::chrono::steady_clock::time_point heldTime = std::chrono::steady_clock::time_point{} + 1h;
std::chrono::steady_clock::time_point heldClock() {
    return heldTime;
}

// A virtual Mac that accepts connections and never answers: every power-manager question of
// one sample together costs one timeout, and the device is asked again once that timeout
// has passed.
TEST_F(SocketDeviceTest, ASilentVirtualMacCostsASampleOneTimeout) {
    TestServer server(stayQuiet);
    ::setenv("PYRELLE_SMC_SOCKET", server.path().c_str(), 1);
    pyrelle::csmc::setProbeClock(heldClock);
    const auto oneSample = [] {
        EXPECT_EQ(pyr_power_status().speed_limit, -1);
        EXPECT_EQ(pyr_ac_power(), -1);
        EXPECT_EQ(pyr_thermal_state(), -1);
        EXPECT_EQ(pyr_low_power_mode(), -1);
        EXPECT_EQ(pyr_memory_pressure(), -1);
        EXPECT_GE(pyr_processor_count(), 1);
        char brand[32];
        EXPECT_EQ(pyr_cpu_brand(brand, sizeof brand), -1);
    };
    pyrelle::csmc::resetExchangeCount();
    oneSample();
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 1u);
    heldTime += 299ms;  // still within one timeout (300 ms) of the failure
    oneSample();
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 1u);
    heldTime += 2ms;
    oneSample();
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 2u);
}

TEST_F(SocketDeviceTest, OversizedRequestIsRefusedBeforeSending) {
    auto device = std::make_shared<FakeSMCDevice>();
    TestServer server(deviceServer(device));
    ::setenv("PYRELLE_SMC_SOCKET", server.path().c_str(), 1);
    std::vector<uint8_t> big(pyrelle::csmc::kMaxPayload + 1, 'x');
    std::vector<uint8_t> reply;
    EXPECT_EQ(pyrelle::csmc::deviceExchange(16, big, reply), PYR_KERN_MESSAGE_TOO_LARGE);
    EXPECT_TRUE(device->exchanges().empty());
}

TEST_F(SocketDeviceTest, ConcurrentCallersOnOneConnectionStayInStep) {
    auto device = std::make_shared<FakeSMCDevice>();
    device->setKey("TC0P", "sp78", {0x32, 0x80});
    device->setKey("TG0P", "sp78", {0x20, 0x00});
    TestServer server(deviceServer(device));
    const uint32_t connection = openAt(server.path());
    ASSERT_NE(connection, 0u);
    std::atomic<int> wrong{0};
    auto reader = [&](const char* key, double expected) {
        for (int i = 0; i < 200; ++i) {
            PYRValue value{};
            if (pyr_smc_read(connection, key, &value) != 0 || pyr_decode(&value) != expected)
                ++wrong;
        }
    };
    std::thread a(reader, "TC0P", 50.5);
    std::thread b(reader, "TG0P", 32.0);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
