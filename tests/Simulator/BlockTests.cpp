// Requests the device must refuse cleanly, the block layout and the socket framing.

#include <gtest/gtest.h>

#include "SimulatorFixture.hpp"
#include "pyrelle/sim/WireFormat.hpp"

namespace pyrelle::sim::testing {
namespace {

TEST(Block, FieldsSitAtTheirOffsetsLittleEndian) {
    SMCBlock b;
    b.key = FourCC("F0Tg");
    b.dataSize = 4;
    b.command = 6;
    b.index = 0x01020304;
    b.bytes[0] = 0xAB;
    const auto raw = b.serialize();
    ASSERT_EQ(raw.size(), 80u);
    EXPECT_EQ(raw[0], 'g');  // "F0Tg" packed big-endian into a little-endian integer
    EXPECT_EQ(raw[3], 'F');
    EXPECT_EQ(raw[28], 4);
    EXPECT_EQ(raw[42], 6);
    EXPECT_EQ(raw[44], 0x04);
    EXPECT_EQ(raw[47], 0x01);
    EXPECT_EQ(raw[48], 0xAB);
    EXPECT_EQ(SMCBlock::parse(raw)->key, FourCC("F0Tg"));
    EXPECT_FALSE(SMCBlock::parse(std::vector<uint8_t>(79)));
}

TEST(Codec, RoundTripsTheTypesTheProfilesUse) {
    struct Case {
        const char* type;
        double value;
    };
    for (const auto& c : {Case{"sp78", -0.5}, Case{"fpe2", 2000}, Case{"flt ", 1234.5},
                          Case{"ui8 ", 3}, Case{"ui16", 65535}, Case{"ui32", 880},
                          Case{"sp96", 45.25}, Case{"ioft", 41.5}, Case{"si16", -310}}) {
        const FourCC type(c.type);
        const uint32_t size = *ValueCodec::naturalSize(type);
        const auto bytes = ValueCodec::encode(type, size, c.value);
        ASSERT_TRUE(bytes) << c.type;
        EXPECT_EQ(ValueCodec::decode(type, size, *bytes), c.value) << c.type;
    }
    EXPECT_EQ((*ValueCodec::encode(FourCC("fpe2"), 2, 2000))[0], 0x1F);
    EXPECT_FALSE(ValueCodec::encode(FourCC("ch8*"), 8, 1));
    EXPECT_FALSE(ValueCodec::decode(FourCC("sp78"), 4, {}));
}

TEST(BadRequests, WrongBlockLengthsAreKernelErrors) {
    SimulatedMac mac;
    for (const size_t length : {0, 1, 79, 81, 4096}) {
        std::vector<uint8_t> reply{1, 2, 3};
        EXPECT_EQ(mac.device->exchange(2, std::vector<uint8_t>(length), reply),
                  status::kBadArgument)
            << length;
        EXPECT_TRUE(reply.empty());
    }
}

TEST(BadRequests, UnknownSelectorsAreRefused) {
    SimulatedMac mac;
    for (const uint32_t selector : {0u, 1u, 3u, 15u, 18u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> reply;
        EXPECT_NE(mac.device->exchange(selector, std::vector<uint8_t>(80), reply), 0) << selector;
    }
}

TEST(BadRequests, MalformedControlRequestsAnswerAnError) {
    SimulatedMac mac;
    for (const std::string& text :
         std::vector<std::string>{"", "{", "nope", "[1,2]", "42", "\"state\"",
                                  std::string("{\"op\":\"st\0", 10), "{\"op\":\"\xff\xfe\"}"}) {
        std::vector<uint8_t> reply;
        const std::vector<uint8_t> request(text.begin(), text.end());
        EXPECT_EQ(mac.device->exchange(16, request, reply), status::kBadArgument) << text;
        const auto body = nlohmann::json::parse(reply.begin(), reply.end());
        EXPECT_FALSE(body["ok"].get<bool>());
        EXPECT_TRUE(body["error"].is_string());
    }
    for (const auto& request :
         {nlohmann::json::object(), nlohmann::json{{"op", 3}}, nlohmann::json{{"op", "melt"}},
          nlohmann::json{{"op", "load"}}, nlohmann::json{{"op", "load"}, {"value", 1.5}},
          nlohmann::json{{"op", "ambient"}, {"celsius", "hot"}},
          nlohmann::json{{"op", "set"}, {"key", "ZZZZ"}, {"value", 1}},
          nlohmann::json{{"op", "set"}, {"key", "RPlt"}, {"value", 1}}}) {
        const auto reply = mac.control(request);
        EXPECT_FALSE(reply["ok"].get<bool>()) << request.dump();
    }
}

TEST(BadRequests, SmcLevelMistakesAnswerSmcResults) {
    SimulatedMac mac;
    EXPECT_EQ(mac.probe.command(SMCCommand::readKeyInfo, FourCC("ZZZZ")).result(), 0x84);
    EXPECT_EQ(mac.probe.command(SMCCommand::readBytes, FourCC("TC0P"), 2).result(), 0x87);
    EXPECT_EQ(mac.probe.command(static_cast<SMCCommand>(7), FourCC("TC0P")).result(), 0x82);
    EXPECT_EQ(mac.probe.command(SMCCommand::writeBytes, FourCC("F0Tg"), 2).result(), 0x87);
    EXPECT_EQ(mac.probe.write("ZZZZ", 1), 0x84);
}

TEST(Control, PinnedValuesOverrideTheModelUntilUnset) {
    SimulatedMac mac;
    mac.ok({{"op", "set"}, {"key", "TC0P"}, {"value", 97}});
    EXPECT_EQ(mac.probe.value("TC0P"), 97);
    EXPECT_EQ(mac.state()["temperatures"]["TC0P"], 97);
    mac.ok({{"op", "unset"}, {"key", "TC0P"}});
    EXPECT_LT(*mac.probe.value("TC0P"), 60);
}

TEST(Control, CountsCanBeReset) {
    SimulatedMac mac;
    ASSERT_EQ(mac.probe.write("F0Tg", 2000), 0);
    EXPECT_EQ(mac.writes("F0Tg"), 1);
    EXPECT_EQ(mac.state()["log"].size(), 1u);
    mac.ok({{"op", "reset-counts"}});
    EXPECT_TRUE(mac.state()["writes"].empty());
    EXPECT_TRUE(mac.state()["log"].empty());
    ASSERT_TRUE(mac.probe.value("F0Tg"));
    EXPECT_EQ(mac.control({{"op", "state"}, {"reads", true}})["reads"].value("F0Tg", 0), 1)
        << "counts start again";
}

TEST(WireFormat, ParsesCompleteFramesOnly) {
    const std::vector<uint8_t> payload{'{', '}'};
    auto frame = WireFormat::encode(16, payload);
    frame.push_back(0xEE);  // the start of the next frame
    auto parsed = WireFormat::parse(frame);
    ASSERT_EQ(parsed.outcome, WireFormat::Parse::complete);
    EXPECT_EQ(parsed.consumed, 10u);
    EXPECT_EQ(parsed.frame.word, 16u);
    EXPECT_EQ(parsed.frame.payload, payload);
    EXPECT_EQ(WireFormat::parse(std::span(frame).first(9)).outcome, WireFormat::Parse::incomplete);
    EXPECT_EQ(WireFormat::parse(std::span(frame).first(3)).outcome, WireFormat::Parse::incomplete);
    std::vector<uint8_t> huge(8, 0);
    WireFormat::put32(huge.data() + 4, WireFormat::kMaxPayload + 1);
    EXPECT_EQ(WireFormat::parse(huge).outcome, WireFormat::Parse::tooLarge);
}

}  // namespace
}  // namespace pyrelle::sim::testing
