#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "CSMC.h"
#include "SMCBlock.hpp"
#include "support/CaseNames.hpp"

namespace {

using pyrelle::csmc::fourCC;

PYRValue make(const char* type, uint32_t size, std::vector<uint8_t> bytes) {
    PYRValue v{};
    v.type = fourCC(type);
    v.size = size;
    if (!bytes.empty()) std::memcpy(v.bytes, bytes.data(), bytes.size());
    return v;
}

std::vector<uint8_t> floatBytes(float number) {
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &number, 4);
    return bytes;
}

struct DecodeCase {
    const char* type;
    uint32_t size;
    std::vector<uint8_t> bytes;
    double expected;  // NaN: undecodable
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesOrAnswersNaN) {
    const DecodeCase& c = GetParam();
    const PYRValue v = make(c.type, c.size, c.bytes);
    const double decoded = pyr_decode(&v);
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(decoded)) << c.type << " gave " << decoded;
    } else {
        EXPECT_EQ(decoded, c.expected) << c.type;
        EXPECT_EQ(std::signbit(decoded), std::signbit(c.expected)) << c.type;
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Types, DecodeTest,
    ::testing::Values(
        DecodeCase{"sp78", 2, {0xFF, 0x80}, -0.5}, DecodeCase{"sp78", 2, {0x32, 0x80}, 50.5},
        DecodeCase{"sp78", 2, {0x80, 0x00}, -128.0}, DecodeCase{"sp78", 4, {0x32, 0x80}, kNaN},
        DecodeCase{"sp87", 2, {0x01, 0x00}, 2.0}, DecodeCase{"spf0", 2, {0xFF, 0xFF}, -1.0},
        DecodeCase{"sp0f", 2, {0x40, 0x00}, 0.5}, DecodeCase{"sp96", 2, {0x00, 0x40}, 1.0},
        DecodeCase{"sp88", 2, {0x01, 0x00}, kNaN},  // 8 + 8 is not 15
        DecodeCase{"spE1", 2, {0x00, 0x02}, kNaN},  // upper-case hexadecimal digit
        DecodeCase{"fpe2", 2, {0x1F, 0x40}, 2000.0}, DecodeCase{"fpe2", 2, {0xFF, 0xFF}, 16383.75},
        DecodeCase{"fp88", 2, {0x01, 0x80}, 1.5}, DecodeCase{"fpg0", 2, {0x01, 0x00}, kNaN},
        DecodeCase{"fp1f", 2, {0x80, 0x00}, 1.0}, DecodeCase{"fpf1", 2, {0x00, 0x03}, 1.5},
        DecodeCase{"fp2e", 2, {0x40, 0x00}, 1.0}, DecodeCase{"fpE2", 2, {0x1F, 0x40}, kNaN},
        DecodeCase{"fpe2", 1, {0x1F}, kNaN},
        DecodeCase{"fp78", 2, {0x00, 0x00}, kNaN},  // 7 + 8 is not 16
        DecodeCase{"ui8 ", 1, {0xFE}, 254.0}, DecodeCase{"ui8 ", 2, {0x01, 0x00}, kNaN},
        DecodeCase{"ui16", 2, {0x12, 0x34}, 4660.0}, DecodeCase{"ui16", 4, {0, 0, 0, 1}, kNaN},
        DecodeCase{"ui32", 4, {0xFF, 0xFF, 0xFF, 0xFF}, 4294967295.0},
        DecodeCase{"ui32", 2, {0x00, 0x01}, kNaN},
        DecodeCase{"flt ", 4, floatBytes(2317.5f), 2317.5},
        DecodeCase{"flt ", 4, floatBytes(-0.0f), -0.0},
        DecodeCase{"flt ", 2, floatBytes(1.0f), kNaN}, DecodeCase{"flt", 4, floatBytes(1.0f), kNaN},
        DecodeCase{"si8 ", 1, {0x01}, kNaN}, DecodeCase{"ch8*", 4, {'a', 'b', 'c', 'd'}, kNaN},
        DecodeCase{"", 0, {}, kNaN}),
    pyrelle::testing::caseNames([](const DecodeCase& c) {
        return pyrelle::testing::label(c.type, c.size, "bytes");
    }));

TEST(DecodeTest, NullIsNaN) {
    EXPECT_TRUE(std::isnan(pyr_decode(nullptr)));
}

struct EncodeCase {
    const char* type;
    uint32_t size;
    double number;
    int32_t expected;
    std::vector<uint8_t> bytes;  // expected leading bytes on success
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, EncodesOrRefusesLeavingBytesUntouched) {
    const EncodeCase& c = GetParam();
    PYRValue v = make(c.type, c.size, {});
    std::memset(v.bytes, 0xAA, sizeof(v.bytes));
    EXPECT_EQ(pyr_encode(&v, c.number), c.expected) << c.type << " " << c.number;
    const size_t written = c.expected == 0 ? c.bytes.size() : 0;
    for (size_t i = 0; i < written; ++i)
        EXPECT_EQ(v.bytes[i], c.bytes[i]) << c.type << " byte " << i;
    for (size_t i = written; i < sizeof(v.bytes); ++i)
        EXPECT_EQ(v.bytes[i], 0xAA) << c.type << " byte " << i;
    EXPECT_EQ(v.size, c.size);
    EXPECT_EQ(v.type, fourCC(c.type));
}

INSTANTIATE_TEST_SUITE_P(
    Types, EncodeTest,
    ::testing::Values(
        EncodeCase{"fpe2", 2, 2000.0, 0, {0x1F, 0x40}},
        EncodeCase{"fpe2", 2, 16383.75, 0, {0xFF, 0xFF}}, EncodeCase{"fpe2", 2, 16383.76, -2, {}},
        EncodeCase{"fpe2", 2, 0.125, 0, {0x00, 0x01}},  // half away
        EncodeCase{"fpe2", 2, 0.124, 0, {0x00, 0x00}},
        EncodeCase{"fpe2", 2, 1.375, 0, {0x00, 0x06}}, EncodeCase{"fpe2", 4, 10.0, -2, {}},
        EncodeCase{"ui8 ", 1, 3.7, 0, {3}}, EncodeCase{"ui8 ", 1, 255.0, 0, {255}},
        EncodeCase{"ui8 ", 1, 255.9, -2, {}}, EncodeCase{"ui8 ", 1, 300.0, -2, {}},
        EncodeCase{"ui8 ", 1, -0.0, 0, {0}}, EncodeCase{"ui8 ", 2, 1.0, -2, {}},
        EncodeCase{"ui16", 2, 65535.0, 0, {0xFF, 0xFF}},
        EncodeCase{"ui16", 2, 4660.9, 0, {0x12, 0x34}}, EncodeCase{"ui16", 2, 65536.0, -2, {}},
        EncodeCase{"ui16", 1, 1.0, -2, {}}, EncodeCase{"flt ", 4, 2000.0, 0, floatBytes(2000.0f)},
        EncodeCase{"flt ", 4, 20000.0, 0, floatBytes(20000.0f)},
        EncodeCase{"flt ", 4, 20000.5, -2, {}}, EncodeCase{"flt ", 2, 1.0, -2, {}},
        EncodeCase{"ui32", 4, 1.0, -2, {}}, EncodeCase{"sp78", 2, 1.0, -2, {}},
        EncodeCase{"fp88", 2, 1.0, -2, {}}, EncodeCase{"ch8*", 4, 1.0, -2, {}},
        EncodeCase{"ui8 ", 1, -1.0, -1, {}}, EncodeCase{"ui8 ", 1, -1e-300, -1, {}},
        EncodeCase{"flt ", 4, std::numeric_limits<double>::quiet_NaN(), -1, {}},
        EncodeCase{"flt ", 4, std::numeric_limits<double>::infinity(), -1, {}},
        EncodeCase{"sp78", 2, -1.0, -1, {}}),  // the number is checked before the type
    pyrelle::testing::caseNames([](const EncodeCase& c) {
        return pyrelle::testing::label(c.type, c.number);
    }));

TEST(EncodeTest, NullIsMinusOne) {
    EXPECT_EQ(pyr_encode(nullptr, 1.0), -1);
}

TEST(CodecTest, EncodedValuesDecodeBack) {
    for (double number : {0.0, 1.25, 2000.0, 5433.5, 16383.75}) {
        PYRValue v = make("fpe2", 2, {});
        ASSERT_EQ(pyr_encode(&v, number), 0);
        EXPECT_EQ(pyr_decode(&v), number);
        v = make("flt ", 4, {});
        ASSERT_EQ(pyr_encode(&v, number), 0);
        EXPECT_EQ(pyr_decode(&v), number);
    }
}

}  // namespace
