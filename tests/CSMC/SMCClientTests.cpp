#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>
#include <memory>

#include "CSMC.h"
#include "support/FakeSMCDevice.hpp"
#include "support/CaseNames.hpp"

namespace {

using pyrelle::csmc::fourCC;
using pyrelle::csmc::SMCBlock;
using pyrelle::csmc::SMCCommand;
using pyrelle::testing::FakeSMCDevice;

class SMCClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("PYRELLE_SMC_SOCKET");
        device = std::make_shared<FakeSMCDevice>();
        device->setKey("TC0P", "sp78", {0x32, 0x80});
        device->setKey("F0Md", "ui8 ", {0});
        device->setKey("F0Tg", "flt ", {0, 0, 0, 0});
        device->setKey("Ftst", "ui8 ", {0});
        device->setKey("F0Mn", "flt ", {0, 0, 0, 0});
        pyrelle::csmc::installDevice(device);
        connection = pyr_smc_open();
        ASSERT_NE(connection, 0u);
        pyrelle::csmc::resetExchangeCount();
    }
    void TearDown() override {
        pyr_smc_close(connection);
        pyrelle::csmc::installDevice(nullptr);
    }

    static PYRValue value(uint32_t type, uint32_t size, std::initializer_list<uint8_t> bytes) {
        PYRValue v{};
        v.type = type;
        v.size = size;
        size_t i = 0;
        for (uint8_t b : bytes) v.bytes[i++] = b;
        return v;
    }

    std::shared_ptr<FakeSMCDevice> device;
    uint32_t connection = 0;
};

TEST_F(SMCClientTest, OpenWithoutAnyDeviceGivesZero) {
    pyrelle::csmc::installDevice(nullptr);
    EXPECT_EQ(pyr_smc_open(), 0u);
    EXPECT_FALSE(pyrelle::csmc::deviceConfigured());
}

TEST_F(SMCClientTest, ConnectionKeepsItsDeviceAndHandlesAreDistinct) {
    const uint32_t second = pyr_smc_open();
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, connection);
    pyrelle::csmc::installDevice(nullptr);
    PYRValue out{};
    EXPECT_EQ(pyr_smc_read(second, "TC0P", &out), 0);
    pyr_smc_close(second);
    EXPECT_EQ(pyr_smc_read(second, "TC0P", &out), PYR_KERN_NOT_OPEN);
    pyr_smc_close(0);  // harmless
}

TEST_F(SMCClientTest, ReadSendsKeyInfoThenBytesAndFillsValue) {
    PYRValue out{};
    ASSERT_EQ(pyr_smc_read(connection, "TC0P", &out), 0);
    EXPECT_EQ(out.size, 2u);
    EXPECT_EQ(out.type, PYR_TYPE_SP78);
    EXPECT_EQ(out.bytes[0], 0x32);
    EXPECT_EQ(out.bytes[1], 0x80);
    EXPECT_DOUBLE_EQ(pyr_decode(&out), 50.5);

    const auto requests = device->requests();
    ASSERT_EQ(requests.size(), 2u);
    SMCBlock info;
    info.key = fourCC("TC0P");
    info.command = static_cast<uint8_t>(SMCCommand::readKeyInfo);
    EXPECT_EQ(requests[0], info);  // every other field zero
    SMCBlock read = info;
    read.command = static_cast<uint8_t>(SMCCommand::readBytes);
    read.dataSize = 2;
    EXPECT_EQ(requests[1], read);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 2u);
}

TEST_F(SMCClientTest, KeyOnTheWireIsPackedBigEndianIntoLittleEndianField) {
    PYRValue out{};
    ASSERT_EQ(pyr_smc_read(connection, "TC0P", &out), 0);
    const auto exchanges = device->exchanges();
    ASSERT_FALSE(exchanges.empty());
    const auto& wire = exchanges[0].second;
    ASSERT_EQ(wire.size(), 80u);
    // "TC0P" = 0x54433050, stored little-endian.
    EXPECT_EQ(wire[0], 0x50);
    EXPECT_EQ(wire[3], 0x54);
    EXPECT_EQ(wire[42], 9);
}

TEST_F(SMCClientTest, ArgumentChecksMakeNoUserClientCall) {
    PYRValue out{};
    char key[5];
    EXPECT_EQ(pyr_smc_read(0, "TC0P", &out), -1);
    EXPECT_EQ(pyr_smc_read(connection, nullptr, &out), -1);
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", nullptr), -1);
    EXPECT_EQ(pyr_smc_read(connection, "TC0", &out), -1);
    EXPECT_EQ(pyr_smc_read(connection, "TC0PX", &out), -1);
    EXPECT_EQ(pyr_smc_read(connection, "", &out), -1);
    EXPECT_EQ(pyr_smc_key_at_index(0, 0, key), -1);
    EXPECT_EQ(pyr_smc_key_at_index(connection, 0, nullptr), -1);
    PYRValue v = value(PYR_TYPE_UI8, 1, {1});
    EXPECT_EQ(pyr_smc_write(0, "F0Md", &v), -1);
    EXPECT_EQ(pyr_smc_write(connection, nullptr, &v), -1);
    EXPECT_EQ(pyr_smc_write(connection, "F0Md", nullptr), -1);
    EXPECT_EQ(pyr_smc_write(connection, "F0M", &v), -1);
    v.size = 0;
    EXPECT_EQ(pyr_smc_write(connection, "F0Md", &v), -1);
    v.size = 33;
    EXPECT_EQ(pyr_smc_write(connection, "F0Md", &v), -1);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 0u);
}

TEST_F(SMCClientTest, ReportedSizeOutsideRangeGivesMinusTwoWithoutSecondCall) {
    for (uint32_t size : {0u, 33u, 0xFFFFFFFFu}) {
        device->setKey("BAD!", "ui8 ", {1}, size);
        pyrelle::csmc::resetExchangeCount();
        PYRValue out{};
        out.size = 7;
        EXPECT_EQ(pyr_smc_read(connection, "BAD!", &out), -2) << size;
        EXPECT_EQ(pyrelle::csmc::exchangeCount(), 1u) << size;
        EXPECT_EQ(out.size, 7u) << "value untouched on refusal";
    }
}

TEST_F(SMCClientTest, KernelErrorsAndSMCResultsPassThroughUnchanged) {
    PYRValue out{};
    const auto kernelError = static_cast<int32_t>(0xE00002C2u);
    device->scriptFault({.status = kernelError});
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &out), kernelError);

    device->scriptFault({.result = 0x85});
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &out), 0x85);

    device->scriptFault({});  // key info fine, the bytes read refused
    device->scriptFault({.result = 0xFF});
    EXPECT_EQ(pyr_smc_read(connection, "TC0P", &out), 255);

    EXPECT_EQ(pyr_smc_read(connection, "NONE", &out), FakeSMCDevice::kKeyNotFound);

    PYRValue mode = value(PYR_TYPE_UI8, 1, {1});
    device->scriptFault({.result = 0x82});
    EXPECT_EQ(pyr_smc_write(connection, "F0Md", &mode), 0x82);
    device->scriptFault({.status = kernelError});
    EXPECT_EQ(pyr_smc_write(connection, "F0Md", &mode), kernelError);

    char key[5];
    device->scriptFault({.status = kernelError});
    EXPECT_EQ(pyr_smc_key_at_index(connection, 0, key), kernelError);
}

TEST_F(SMCClientTest, DeviceStatusThatLooksLikeAShimCodeIsNotPassedOn) {
    PYRValue out{};
    for (int32_t status : {-1, -2, -3, 1, 5, 255}) {
        device->scriptFault({.status = status});
        EXPECT_EQ(pyr_smc_read(connection, "TC0P", &out), PYR_KERN_IPC_ERROR) << status;
    }
}

TEST_F(SMCClientTest, OutputBlockOfWrongLengthGivesMinusOne) {
    PYRValue out{};
    char key[5];
    PYRValue mode = value(PYR_TYPE_UI8, 1, {1});
    for (size_t length : {0u, 79u, 81u, 4096u}) {
        device->scriptFault({.replyLength = length});
        EXPECT_EQ(pyr_smc_read(connection, "TC0P", &out), -1) << length;
        device->scriptFault({});
        device->scriptFault({.replyLength = length});
        EXPECT_EQ(pyr_smc_read(connection, "TC0P", &out), -1) << length;
        device->scriptFault({.replyLength = length});
        EXPECT_EQ(pyr_smc_key_at_index(connection, 0, key), -1) << length;
        device->scriptFault({.replyLength = length});
        EXPECT_EQ(pyr_smc_write(connection, "F0Md", &mode), -1) << length;
    }
}

TEST_F(SMCClientTest, KeyAtIndexWritesFourCharactersAndNul) {
    char key[5] = {'x', 'x', 'x', 'x', 'x'};
    ASSERT_EQ(pyr_smc_key_at_index(connection, 1, key), 0);
    EXPECT_STREQ(key, "F0Md");
    const auto requests = device->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 8);
    EXPECT_EQ(requests[0].index, 1u);
    EXPECT_EQ(pyr_smc_key_at_index(connection, 99, key), FakeSMCDevice::kKeyNotFound);
}

// What a batch must reproduce: the single call's result and output, key for key, and the
// same number of user-client calls.
struct SingleRead {
    int32_t result;
    PYRValue value;
};

TEST_F(SMCClientTest, BatchedReadsMatchSingleReadsKeyForKey) {
    device->setKey("BAD0", "ui8 ", {1}, 0);
    device->setKey("BAD!", "ui8 ", {1}, 33);
    const char* keys[] = {"TC0P",  "NONE",  "BAD0", "F0Md", "TC0",
                          nullptr, "TC0PX", "BAD!", "F0Tg", "TC0P"};
    constexpr uint32_t count = std::size(keys);
    PYRValue sentinel{};
    sentinel.size = 7;

    std::vector<SingleRead> singles;
    for (const char* key : keys) {
        SingleRead single{0, sentinel};
        single.result = pyr_smc_read(connection, key, &single.value);
        singles.push_back(single);
    }
    const uint64_t singleExchanges = pyrelle::csmc::exchangeCount();

    pyrelle::csmc::resetExchangeCount();
    std::vector<PYRValue> values(count, sentinel);
    std::vector<int32_t> results(count, 12345);
    ASSERT_EQ(pyr_smc_read_many(connection, keys, count, values.data(), results.data()), 0);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), singleExchanges);
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(results[i], singles[i].result) << i;
        EXPECT_EQ(std::memcmp(&values[i], &singles[i].value, sizeof(PYRValue)), 0) << i;
    }
}

TEST_F(SMCClientTest, BatchedReadGivesEachFailureToItsOwnKey) {
    // The batch asks for all key info first, then the bytes: exchanges 1-3, then 4-5.
    const auto kernelError = static_cast<int32_t>(0xE00002C2u);
    device->scriptFault({});
    device->scriptFault({.status = kernelError});
    device->scriptFault({});
    device->scriptFault({.result = 0x85});
    const char* keys[] = {"TC0P", "F0Md", "F0Tg"};
    PYRValue values[3] = {};
    int32_t results[3] = {};
    ASSERT_EQ(pyr_smc_read_many(connection, keys, 3, values, results), 0);
    EXPECT_EQ(results[0], 0x85);
    EXPECT_EQ(results[1], kernelError);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(values[2].size, 4u);
    EXPECT_EQ(values[2].type, PYR_TYPE_FLT);
}

TEST_F(SMCClientTest, BatchedKeyListingMatchesSingleCalls) {
    constexpr uint32_t count = 8;  // past the last of the five keys
    char listed[count][5] = {};
    int32_t results[count] = {};
    ASSERT_EQ(pyr_smc_keys_at(connection, 1, count, listed, results), 0);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), count);
    for (uint32_t i = 0; i < count; ++i) {
        char single[5] = {};
        EXPECT_EQ(results[i], pyr_smc_key_at_index(connection, 1 + i, single)) << i;
        if (results[i] == 0) {
            EXPECT_STREQ(listed[i], single) << i;
        }
    }
    EXPECT_STREQ(listed[0], "F0Md");
    EXPECT_EQ(results[count - 1], FakeSMCDevice::kKeyNotFound);
}

TEST_F(SMCClientTest, BatchesCheckTheirArgumentsLikeSingleCalls) {
    char listed[2][5];
    int32_t results[2] = {5, 5};
    PYRValue values[2];
    const char* keys[] = {"TC0P", "F0Md"};
    EXPECT_EQ(pyr_smc_keys_at(connection, 0, 2, nullptr, results), -1);
    EXPECT_EQ(pyr_smc_keys_at(connection, 0, 2, listed, nullptr), -1);
    EXPECT_EQ(pyr_smc_read_many(connection, nullptr, 2, values, results), -1);
    EXPECT_EQ(pyr_smc_read_many(connection, keys, 2, nullptr, results), -1);
    EXPECT_EQ(pyr_smc_read_many(connection, keys, 2, values, nullptr), -1);
    EXPECT_EQ(pyr_smc_read_many(connection, keys, 0, values, results), 0);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 0u);

    ASSERT_EQ(pyr_smc_read_many(0, keys, 2, values, results), 0);
    EXPECT_EQ(results[0], -1);
    EXPECT_EQ(results[1], -1);
    ASSERT_EQ(pyr_smc_keys_at(0, 0, 2, listed, results), 0);
    EXPECT_EQ(results[1], -1);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 0u);

    const uint32_t closed = pyr_smc_open();
    pyr_smc_close(closed);
    ASSERT_EQ(pyr_smc_read_many(closed, keys, 2, values, results), 0);
    EXPECT_EQ(results[1], PYR_KERN_NOT_OPEN);
}

struct WriteCase {
    const char* key;
    uint32_t type;
    uint32_t size;
    uint8_t firstByte;
    int32_t expected;
};

class SMCWriteAllowListTest : public SMCClientTest,
                              public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SMCWriteAllowListTest, OnlyFanControlKeysReachTheSMC) {
    const WriteCase& c = GetParam();
    device->setKey(c.key, "ui8 ", {9});  // so an allowed write succeeds
    PYRValue v = value(c.type, c.size, {c.firstByte});
    EXPECT_EQ(pyr_smc_write(connection, c.key, &v), c.expected);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), c.expected == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SMCWriteAllowListTest,
    ::testing::Values(
        WriteCase{"F0Md", PYR_TYPE_UI8, 1, 1, 0}, WriteCase{"F9md", PYR_TYPE_UI8, 1, 0, 0},
        WriteCase{"F1Tg", PYR_TYPE_FLT, 4, 0, 0}, WriteCase{"FS! ", PYR_TYPE_UI16, 2, 3, 0},
        WriteCase{"Ftst", PYR_TYPE_UI8, 1, 1, 0}, WriteCase{"Ftst", PYR_TYPE_UI8, 1, 0, 0},
        WriteCase{"Ftst", PYR_TYPE_UI8, 1, 2, -3}, WriteCase{"Ftst", PYR_TYPE_UI16, 1, 1, -3},
        WriteCase{"Ftst", PYR_TYPE_UI8, 2, 1, -3}, WriteCase{"F0Mn", PYR_TYPE_FLT, 4, 0, -3},
        WriteCase{"F0Mx", PYR_TYPE_FLT, 4, 0, -3}, WriteCase{"F0MD", PYR_TYPE_UI8, 1, 1, -3},
        WriteCase{"F0tg", PYR_TYPE_FLT, 4, 0, -3}, WriteCase{"f0Md", PYR_TYPE_UI8, 1, 1, -3},
        WriteCase{"FAMd", PYR_TYPE_UI8, 1, 1, -3}, WriteCase{"FS!!", PYR_TYPE_UI8, 1, 1, -3},
        WriteCase{"TC0P", PYR_TYPE_SP78, 2, 0, -3}, WriteCase{"F10Md", PYR_TYPE_UI8, 1, 1, -1},
        WriteCase{"F0Md", PYR_TYPE_UI8, 0, 1, -1}),
    pyrelle::testing::caseNames([](const WriteCase& c) {
        return pyrelle::testing::label(c.key, c.expected == 0 ? "allowed" : "refused");
    }));

TEST_F(SMCClientTest, WriteSendsSizeAndAllBytesWithTypeLeftZero) {
    PYRValue target = value(PYR_TYPE_FLT, 4, {0x00, 0x40, 0x9C, 0x45});
    target.bytes[31] = 0xAB;  // all 32 bytes travel
    ASSERT_EQ(pyr_smc_write(connection, "F0Tg", &target), 0);
    const auto requests = device->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 6);
    EXPECT_EQ(requests[0].key, fourCC("F0Tg"));
    EXPECT_EQ(requests[0].dataSize, 4u);
    EXPECT_EQ(requests[0].dataType, 0u);
    EXPECT_EQ(requests[0].bytes[0], 0x00);
    EXPECT_EQ(requests[0].bytes[3], 0x45);
    EXPECT_EQ(requests[0].bytes[31], 0xAB);
    EXPECT_EQ(device->bytesOf("F0Tg"), (std::vector<uint8_t>{0x00, 0x40, 0x9C, 0x45}));
}

TEST_F(SMCClientTest, DeviceExchangeUsesInstalledDevice) {
    device->setOtherReply(0, {'{', '}'});
    std::vector<uint8_t> reply{1, 2, 3};
    const std::vector<uint8_t> request{'x'};
    EXPECT_EQ(pyrelle::csmc::deviceExchange(pyrelle::csmc::kSelectorPowerManager, request, reply),
              0);
    EXPECT_EQ(reply, (std::vector<uint8_t>{'{', '}'}));
    EXPECT_TRUE(pyrelle::csmc::deviceConfigured());
    EXPECT_EQ(device->exchanges().back().first, pyrelle::csmc::kSelectorPowerManager);

    pyrelle::csmc::installDevice(nullptr);
    EXPECT_EQ(pyrelle::csmc::deviceExchange(pyrelle::csmc::kSelectorPowerManager, request, reply),
              PYR_KERN_NO_DEVICE);
    EXPECT_TRUE(reply.empty());
}

TEST(SMCBlockTest, RoundTripsAndRejectsWrongLength) {
    SMCBlock block;
    block.key = fourCC("FS! ");
    block.dataSize = 2;
    block.dataType = fourCC("ui16");
    block.result = 0x84;
    block.command = 6;
    block.index = 0x01020304;
    block.bytes[0] = 0x12;
    block.bytes[31] = 0x34;
    const auto wire = block.encode();
    EXPECT_EQ(SMCBlock::decode(wire), block);
    EXPECT_EQ(wire[44], 0x04);  // little-endian index
    EXPECT_FALSE(SMCBlock::decode(std::span<const uint8_t>(wire.data(), 79)));
    EXPECT_EQ(pyrelle::csmc::fourCCText(fourCC("ab")), std::string("ab\0\0", 4));
}

}  // namespace

// Reads with held key info: one exchange (the bytes), the held size on the wire, and a held
// info the device contradicts reported so the caller can read in full again.
struct KnownReadCase {
    const char* name;
    uint32_t heldType;
    uint32_t heldSize;
    std::function<void(FakeSMCDevice&)> change;  // what the device does before the read
    int32_t result;
};

class ReadWithHeldInfo : public ::testing::TestWithParam<KnownReadCase> {
protected:
    void TearDown() override { pyrelle::csmc::installDevice(nullptr); }
};

TEST_P(ReadWithHeldInfo, OneExchangeAndStaleInfoReported) {
    const auto& c = GetParam();
    ::unsetenv("PYRELLE_SMC_SOCKET");
    auto device = std::make_shared<FakeSMCDevice>();
    device->setKey("TC0P", "sp78", {0x32, 0x80});
    if (c.change) c.change(*device);
    pyrelle::csmc::installDevice(device);
    const uint32_t connection = pyr_smc_open();
    pyrelle::csmc::resetExchangeCount();
    const PYRValue held{c.heldSize, c.heldType, {}};
    PYRValue out{};
    EXPECT_EQ(pyr_smc_read_known(connection, "TC0P", &held, &out), c.result);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 1u);
    ASSERT_EQ(device->requests().size(), 1u);
    EXPECT_EQ(device->requests()[0].command, static_cast<uint8_t>(SMCCommand::readBytes));
    EXPECT_EQ(device->requests()[0].dataSize, c.heldSize);
    if (c.result == 0) {
        EXPECT_EQ(pyr_decode(&out), 50.5);
    }

    // The batch gives each entry what the single call gives.
    if (c.change) {
        c.change(*device);
        c.change(*device);
    }
    const char* keys[] = {"TC0P", "TC0P"};
    const PYRValue infos[] = {held, held};
    PYRValue values[2] = {};
    int32_t results[2] = {};
    ASSERT_EQ(pyr_smc_read_many_known(connection, keys, infos, 2, values, results), 0);
    EXPECT_EQ(results[0], c.result);
    EXPECT_EQ(results[1], c.result);
    pyr_smc_close(connection);
}

INSTANTIATE_TEST_SUITE_P(
    Shim, ReadWithHeldInfo,
    ::testing::Values(KnownReadCase{"HeldInfoRight", PYR_TYPE_SP78, 2, nullptr, 0},
                      KnownReadCase{"HeldSizeWrong", PYR_TYPE_SP78, 4, nullptr, 0x87},
                      KnownReadCase{"TypeChanged", PYR_TYPE_SP78, 2,
                                    [](FakeSMCDevice& d) {
                                        d.setKey("TC0P", "fp88", {0x32, 0x80});
                                    },
                                    PYR_SMC_STALE_INFO},
                      KnownReadCase{"KeyGone", PYR_TYPE_SP78, 2,
                                    [](FakeSMCDevice& d) {
                                        d.scriptFault({0, uint8_t{0x84}, {}});
                                    },
                                    0x84}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadWithHeldInfoArguments, InvalidHeldInfoMakesNoCall) {
    auto device = std::make_shared<FakeSMCDevice>();
    pyrelle::csmc::installDevice(device);
    const uint32_t connection = pyr_smc_open();
    pyrelle::csmc::resetExchangeCount();
    PYRValue out{};
    for (uint32_t size : {0u, 33u}) {
        const PYRValue held{size, PYR_TYPE_SP78, {}};
        EXPECT_EQ(pyr_smc_read_known(connection, "TC0P", &held, &out), PYR_SMC_INVALID);
    }
    EXPECT_EQ(pyr_smc_read_known(connection, "TC0P", nullptr, &out), PYR_SMC_INVALID);
    EXPECT_EQ(pyrelle::csmc::exchangeCount(), 0u);
    pyr_smc_close(connection);
    pyrelle::csmc::installDevice(nullptr);
}
