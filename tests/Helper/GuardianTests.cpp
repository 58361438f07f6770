// What the guardian does when the helper's pipe ends: nothing unless the last word was
// "armed"; then one hand-back, and a failure reported on standard error with exit status 1.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "Guardian.hpp"
#include "pyrelle/ScopeError.hpp"

namespace {

using pyrelle::ScopeError;
using pyrelle::helper::Guardian;

struct Case {
    const char* name;
    std::string words;    // what the helper wrote before its end of the pipe closed
    const char* failure;  // what the hand-back throws; nullptr when it succeeds
    int handBacks;
    int status;
    const char* err;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class GuardianWatch : public ::testing::TestWithParam<Case> {};

TEST_P(GuardianWatch, ActsOnlyWhenTheHelperLeftItArmed) {
    const Case& c = GetParam();
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(write(ends[1], c.words.data(), c.words.size()), static_cast<ssize_t>(c.words.size()));
    close(ends[1]);
    int handBacks = 0;
    ::testing::internal::CaptureStderr();
    const int status = Guardian::watch(ends[0], [&] {
        ++handBacks;
        if (c.failure) throw ScopeError(c.failure);
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    close(ends[0]);
    EXPECT_EQ(handBacks, c.handBacks);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Pipe, GuardianWatch,
    ::testing::Values(Case{"NeverArmed", "", nullptr, 0, 0, ""},
                      Case{"HandedBackCleanly", "AR", nullptr, 0, 0, ""},
                      Case{"DiedWhileArmed", "A", nullptr, 1, 0, ""},
                      Case{"ArmedAgainByALaterLease", "ARA", nullptr, 1, 0, ""},
                      Case{"UnknownBytesChangeNothing", "Rxyz", nullptr, 0, 0, ""},
                      Case{"FailedHandBackIsReported", "A",
                           "恢复自动风扇失败：SMC F0Md 写入失败（132）", 1, 1,
                           "恢复自动风扇失败：SMC F0Md 写入失败（132）\n"},
                      Case{"AnyFailureIsNamedAFailedHandBack", "A", "没有可读取的风扇", 1, 1,
                           "恢复自动风扇失败：没有可读取的风扇\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
