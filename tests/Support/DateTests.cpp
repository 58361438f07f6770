#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "pyrelle/Base64.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/ScopeError.hpp"

using namespace pyrelle;

TEST(Date, UnixConversionAndISOText) {
    EXPECT_EQ(Date().unixTime(), 978307200.0);
    EXPECT_EQ(Date().iso8601(), "2001-01-01T00:00:00Z");
    EXPECT_EQ(Date::fromUnixTime(1796701802.9).iso8601(), "2026-12-08T03:50:02Z");
    EXPECT_EQ(Date::fromUnixTime(-0.5).iso8601(), "1969-12-31T23:59:59Z");
    EXPECT_EQ(Date::fromUnixTime(951782400).iso8601(), "2000-02-29T00:00:00Z");
    EXPECT_EQ(Date(std::numeric_limits<double>::quiet_NaN()).iso8601(), "");
    EXPECT_EQ(Date(1e300).iso8601(), "");
    EXPECT_FALSE(Date(std::numeric_limits<double>::infinity()).isFinite());
}

TEST(Date, ParsesISOTextWithFractionsAndOffsets) {
    struct Case {
        const char* text;
        std::optional<double> unix;
    };
    const Case cases[] = {
        {"2026-12-08T03:50:02Z", 1796701802},       {"2026-12-08T03:50:02.250Z", 1796701802.25},
        {"2026-12-08T11:50:02+08:00", 1796701802},  {"2026-12-07T22:50:02-0500", 1796701802},
        {"2024-02-29T00:00:00Z", 1709164800},       {"2023-02-29T00:00:00Z", std::nullopt},
        {"2026-12-08 03:50:02Z", std::nullopt},     {"2026-12-08T03:50:02", std::nullopt},
        {"2026-12-08T24:00:00Z", std::nullopt},     {"2026-12-08T03:50:02.Z", std::nullopt},
        {"2026-12-08T03:50:02Zjunk", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = Date::parseISO8601(c.text);
        ASSERT_EQ(parsed.has_value(), c.unix.has_value());
        if (parsed) {
            EXPECT_NEAR(parsed->unixTime(), *c.unix, 1e-6);
        }
    }
}

TEST(Date, JSONIsANumberAndDecodesEitherForm) {
    const nlohmann::json number = Date(12.5);
    EXPECT_EQ(number, 12.5);
    EXPECT_EQ(number.get<Date>(), Date(12.5));
    EXPECT_EQ(nlohmann::json("2001-01-01T00:00:12Z").get<Date>(), Date(12));
    EXPECT_THROW((void)nlohmann::json(true).get<Date>(), ScopeError);
    EXPECT_TRUE(nlohmann::json(Date(std::numeric_limits<double>::quiet_NaN())).is_null());
}

TEST(Base64, EncodesAndDecodesStrictly) {
    const std::pair<const char*, const char*> pairs[] = {
        {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {"曲线", "5puy57q/"}};
    for (auto [plain, encoded] : pairs) {
        EXPECT_EQ(Base64::encode(std::string_view(plain)), encoded);
        EXPECT_EQ(Base64::decodeText(encoded), plain);
    }
    for (const char* bad :
         {"Zg=", "Zg", "Z===", "Zm9v\n", "Zm 9v", "Zg==Zg==", "=Zg=", "Zm9*", "===="})
        EXPECT_FALSE(Base64::decode(bad)) << bad;
}
