#include <gtest/gtest.h>

#include "pyrelle/ScopeError.hpp"

TEST(ScopeError, DescriptionIsTheMessageUnchanged) {
    const pyrelle::ScopeError error("没有可读取的风扇");
    EXPECT_STREQ(error.what(), "没有可读取的风扇");
    EXPECT_EQ(error.message(), "没有可读取的风扇");
}
