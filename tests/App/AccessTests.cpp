// Kilnview's door checks as small tables: the secret, session and bearer checks, the peer
// socket's owner as the kernel lists it, and the walk that decides whether a status directory
// could have been replaced by another user.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <sstream>

#include "Publish/TrustedDirectory.hpp"
#include "Web/AddressFile.hpp"
#include "Web/Credentials.hpp"
#include "Web/PeerOwner.hpp"

namespace {

using namespace kilnview;
namespace fs = std::filesystem;

TEST(Credentials, AcceptOnlyTheExactSecretSessionAndBearer) {
    const Credentials doors("c0ffee", "5e55", std::string("long-lived"));
    const std::string cookie = Credentials::cookieNameFor(8742);
    struct Case {
        const char* what;
        bool accepted;
    };
    const std::vector<std::pair<Case, bool>> cases = {
        {{"secret", true}, doors.secretMatches("c0ffee")},
        {{"secret with a character more", false}, doors.secretMatches("c0ffee0")},
        {{"a prefix of the secret", false}, doors.secretMatches("c0ffe")},
        {{"empty secret", false}, doors.secretMatches("")},
        {{"session", true}, doors.sessionMatches("a=1; " + cookie + "=5e55; b=2", cookie)},
        {{"session of another port", false},
         doors.sessionMatches(Credentials::cookieNameFor(8743) + "=5e55", cookie)},
        {{"the secret as session", false}, doors.sessionMatches(cookie + "=c0ffee", cookie)},
        {{"no cookie", false}, doors.sessionMatches("", cookie)},
        {{"bearer secret", true}, doors.bearerMatches("Bearer c0ffee")},
        {{"bearer, any case, padded", true}, doors.bearerMatches("bearer  long-lived ")},
        {{"basic scheme", false}, doors.bearerMatches("Basic c0ffee")},
        {{"bearer session", false}, doors.bearerMatches("Bearer 5e55")},
        {{"bearer without token", false}, doors.bearerMatches("Bearer ")},
    };
    for (const auto& [expected, got] : cases) EXPECT_EQ(got, expected.accepted) << expected.what;
    EXPECT_FALSE(Credentials("s", "t", std::nullopt).bearerMatches("Bearer "));

    const std::string set = doors.sessionCookie(cookie);
    for (const char* attribute : {"HttpOnly", "SameSite=Strict", "Path=/"})
        EXPECT_NE(set.find(attribute), std::string::npos) << set;
    const Credentials a = Credentials::fresh(), b = Credentials::fresh();
    EXPECT_NE(a.secret(), b.secret());
    EXPECT_GE(a.secret().size(), 32u) << "at least 128 bits in hexadecimal";
    EXPECT_EQ(a.secret().find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(PeerOwner, FindsTheClientSocketOfAConnection) {
    // Server 127.0.0.1:8742 (0x2226); clients on ports 40000 (0x9C40), 40001 and 40002.
    const std::string ipv4 =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:2226 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 1\n"
        "   1: 0100007F:2226 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000 0 2\n"
        "   2: 0100007F:9C40 0100007F:2226 01 00000000:00000000 00:00000000 00000000  1001 0 3\n"
        "   3: 0200007F:9C41 0100007F:2226 01 00000000:00000000 00:00000000 00000000     0 0 4\n";
    const std::string ipv6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0000000000000000FFFF00000100007F:9C42 0000000000000000FFFF00000100007F:2226 01 "
        "00000000:00000000 00:00000000 00000000   998 0 5\n";
    const auto loopback = [](const char* text) {
        in_addr address{};
        inet_pton(AF_INET, text, &address);
        return address.s_addr;
    };
    const PeerOwner::Endpoint server{loopback("127.0.0.1"), 8742};
    struct Case {
        const std::string& table;
        bool ipv6;
        PeerOwner::Endpoint peer;
        std::optional<uid_t> owner;
    };
    const std::vector<Case> cases = {
        {ipv4, false, {loopback("127.0.0.1"), 40000}, 1001},  // not the server's own end
        {ipv4, false, {loopback("127.0.0.2"), 40001}, 0},
        {ipv4, false, {loopback("127.0.0.1"), 40001}, std::nullopt},
        {ipv4, false, {loopback("127.0.0.1"), 40002}, std::nullopt},
        {ipv6, true, {loopback("127.0.0.1"), 40002}, 998},
        {ipv6, true, {loopback("127.0.0.1"), 40000}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::istringstream table(c.table);
        EXPECT_EQ(PeerOwner::ownerIn(table, c.ipv6, c.peer, server), c.owner) << c.peer.port;
    }
}

// A scratch tree under /tmp (root's sticky directory), built per case.
struct Tree : ::testing::Test {
    static constexpr uid_t kUser = 1000;
    static constexpr uid_t kOther = 1001;
    fs::path root;

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
        char pattern[] = "/tmp/kilnview-trust-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        ::chmod(pattern, 0755);
    }
    void TearDown() override {
        std::error_code ignored;
        if (!root.empty()) fs::remove_all(root, ignored);
    }
    fs::path directory(const std::string& name, uid_t owner, mode_t mode) {
        const fs::path path = root / name;
        fs::create_directories(path);
        EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path;
    }
    void link(const std::string& name, const fs::path& target, uid_t owner) {
        fs::create_symlink(target, root / name);
        EXPECT_EQ(::lchown((root / name).c_str(), owner, owner), 0);
    }
};

TEST_F(Tree, TrustedDirectoryRefusesWhatAnotherUserCouldReplace) {
    directory("mine", kUser, 0700);
    directory("mine/widget", kUser, 0755);
    directory("theirs", kOther, 0755);
    directory("shared", 0, 01777);  // like /tmp
    directory("shared/mine", kUser, 0700);
    directory("open", kUser, 0777);
    directory("group", kUser, 0770);
    directory("rootonly", 0, 0755);
    link("mine/link", root / "mine/widget", kUser);
    link("shared/planted", root / "mine/widget", kOther);
    link("rootonly/link", root / "mine/widget", 0);
    link("shared/relative", "mine", kUser);
    std::ofstream(root / "mine/file") << "x";

    struct Case {
        std::string path;
        const char* refusal;  // a word of the reason; null when trusted
    };
    const std::vector<Case> cases = {
        {"mine/widget", nullptr},
        {"mine/widget/new/deeper", nullptr},  // created, as the user's
        {"mine/link", nullptr},               // a link only the user could have put there
        {"rootonly/link", nullptr},
        {"shared/mine", nullptr},  // sticky: others cannot replace it
        {"mine/link/../widget", nullptr},
        {"theirs", "another user"},
        {"theirs/x", "another user"},
        {"open/x", "other users"},
        {"group", "other users"},
        {"shared/planted", "symbolic link"},
        {"shared/relative", "symbolic link"},  // not followed past a directory not the user's
        {"mine/file", "not a directory"},
    };
    for (const Case& c : cases) {
        const auto problem = TrustedDirectory::problem(root / c.path, kUser);
        if (!c.refusal) {
            EXPECT_FALSE(problem) << c.path << ": " << *problem;
            continue;
        }
        ASSERT_TRUE(problem) << c.path << " was trusted";
        EXPECT_NE(problem->find(c.refusal), std::string::npos) << *problem;
    }
    EXPECT_TRUE(fs::is_directory(root / "mine/widget/new/deeper"));
    EXPECT_FALSE(fs::exists(root / "theirs/x"));
}

TEST_F(Tree, TheAddressFileIsTheUsersAloneAndGoesAtTheEnd) {
    const fs::path runtime = directory("run", 0, 0700);
    std::string problem;
    {
        AddressFile file;
        ASSERT_FALSE(file.write(runtime, "http://127.0.0.1:1/?secret=ab", 0));
        struct stat info {};
        ASSERT_EQ(::lstat((runtime / AddressFile::fileName).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(AddressFile::read(runtime, 0, problem), "http://127.0.0.1:1/?secret=ab")
            << problem;
    }
    EXPECT_FALSE(fs::exists(runtime / AddressFile::fileName)) << "removed at the end of the run";
    EXPECT_FALSE(AddressFile::read(runtime, 0, problem));

    // A directory others may write to, or a file someone else could read, is refused.
    AddressFile file;
    EXPECT_TRUE(file.write(directory("open-run", 0, 0777), "http://127.0.0.1:1/", 0));
    const fs::path token = root / "token";
    std::ofstream(token) << "t0ken\n";
    for (const auto& [mode, owner, accepted] :
         std::vector<std::tuple<mode_t, uid_t, bool>>{{0600, 0, true},
                                                      {0400, kUser, true},
                                                      {0640, 0, false},
                                                      {0604, 0, false},
                                                      {0600, kOther, false}}) {
        ASSERT_EQ(::chmod(token.c_str(), mode), 0);
        ASSERT_EQ(::chown(token.c_str(), owner, owner), 0);
        const auto read = readTokenFile(token, kUser, problem);
        EXPECT_EQ(read.has_value(), accepted) << std::oct << mode << " " << owner << problem;
        if (read) {
            EXPECT_EQ(*read, "t0ken");
        }
    }
    link("token-link", token, 0);
    EXPECT_FALSE(readTokenFile(root / "token-link", kUser, problem));
}

}  // namespace
