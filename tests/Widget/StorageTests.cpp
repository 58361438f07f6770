// Storage of the status file: its location, private atomic writes and reads that refuse
// anything suspicious without failing.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "WidgetTestSupport.hpp"
#include "pyrelle/widget/WidgetDataError.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"

namespace pyrelle {
namespace {

namespace fs = std::filesystem;
using widget_test::readText;
using widget_test::sampleSnapshot;
using widget_test::TemporaryDirectory;
using widget_test::writeText;

mode_t permissions(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Runs the test body with a given umask and restores the previous one.
class Umask {
public:
    explicit Umask(mode_t mask) : previous_(::umask(mask)) {}
    ~Umask() { ::umask(previous_); }

private:
    mode_t previous_;
};

TEST(WidgetStorageWrite, CreatesPrivateDirectoriesAndAPrivateCompactFile) {
    TemporaryDirectory dir;
    Umask open(0);  // whatever the umask, nothing may come out readable by others
    fs::path target = dir / "a/b/status.json";
    WidgetStorage::write(sampleSnapshot(), target);
    EXPECT_EQ(permissions(dir / "a"), 0700);
    EXPECT_EQ(permissions(dir / "a/b"), 0700);
    EXPECT_EQ(permissions(target), 0600);
    std::string bytes = readText(target);
    EXPECT_EQ(bytes.front(), '{');
    EXPECT_EQ(bytes.find('\n'), std::string::npos);
    EXPECT_EQ(WidgetStorage::read(target), sampleSnapshot());
}

TEST(WidgetStorageWrite, LeavesAnExistingDirectoryAlone) {
    TemporaryDirectory dir;
    fs::create_directory(dir / "shared");
    fs::permissions(dir / "shared", fs::perms(0755));
    WidgetStorage::write(sampleSnapshot(), dir / "shared/status.json");
    EXPECT_EQ(permissions(dir / "shared"), 0755);
}

TEST(WidgetStorageWrite, ReplacesTheFileAndLeavesNoTemporaryFiles) {
    TemporaryDirectory dir;
    fs::path target = dir / "status.json";
    writeText(target, "old");
    fs::permissions(target, fs::perms(0644));
    WidgetSnapshot next = sampleSnapshot(786900100);
    WidgetStorage::write(sampleSnapshot(), target);
    WidgetStorage::write(next, target);
    EXPECT_EQ(WidgetStorage::read(target), next);
    EXPECT_EQ(permissions(target), 0600);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WidgetStorageWrite, ReplacesASymbolicLinkInsteadOfWritingThroughIt) {
    TemporaryDirectory dir;
    writeText(dir / "elsewhere", "keep");
    fs::create_symlink(dir / "elsewhere", dir / "status.json");
    WidgetStorage::write(sampleSnapshot(), dir / "status.json");
    EXPECT_EQ(readText(dir / "elsewhere"), "keep");
    EXPECT_FALSE(fs::is_symlink(dir / "status.json"));
}

TEST(WidgetStorageWrite, FailureLeavesThePreviousFileIntact) {
    TemporaryDirectory dir;
    fs::path target = dir / "status.json";
    WidgetStorage::write(sampleSnapshot(), target);
    std::string before = readText(target);

    WidgetSnapshot broken = sampleSnapshot();
    broken.cpuUsage = std::numeric_limits<double>::infinity();
    EXPECT_THROW(WidgetStorage::write(broken, target), WidgetDataError);
    EXPECT_EQ(readText(target), before);

    fs::create_directory(dir / "dir");
    EXPECT_THROW(WidgetStorage::write(sampleSnapshot(), dir / "dir"), std::system_error);
    writeText(dir / "file", "x");
    EXPECT_THROW(WidgetStorage::write(sampleSnapshot(), dir / "file/status.json"),
                 std::system_error);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST(WidgetStorageRead, AnythingButAValidRegularFileIsNoSnapshot) {
    TemporaryDirectory dir;
    fs::path good = dir / "good.json";
    WidgetStorage::write(sampleSnapshot(), good);
    std::string json = readText(good);

    EXPECT_FALSE(WidgetStorage::read(dir / "missing.json"));

    writeText(dir / "truncated.json", json.substr(0, json.size() - 3));
    EXPECT_FALSE(WidgetStorage::read(dir / "truncated.json"));

    writeText(dir / "garbage.json", std::string("\x00\xFF\xFE{", 4));
    EXPECT_FALSE(WidgetStorage::read(dir / "garbage.json"));

    writeText(dir / "large.json",
              json + std::string(WidgetSnapshot::maximumFileSize + 1 - json.size(), ' '));
    EXPECT_FALSE(WidgetStorage::read(dir / "large.json"));
    writeText(dir / "limit.json",
              json + std::string(WidgetSnapshot::maximumFileSize - json.size(), ' '));
    EXPECT_TRUE(WidgetStorage::read(dir / "limit.json"));

    fs::create_symlink(good, dir / "link.json");
    EXPECT_FALSE(WidgetStorage::read(dir / "link.json"));
    fs::create_symlink("/dev/zero", dir / "zero.json");
    EXPECT_FALSE(WidgetStorage::read(dir / "zero.json"));
    ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
    EXPECT_FALSE(WidgetStorage::read(dir / "fifo.json"));  // and does not block
    EXPECT_FALSE(WidgetStorage::read(dir.path()));

    writeText(dir / "schema2.json",
              std::string(json).replace(json.find("\"schema\":1"), 10, "\"schema\":2"));
    EXPECT_FALSE(WidgetStorage::read(dir / "schema2.json"));
}

WidgetBundle bundleWithGroup(const std::string& group, std::optional<fs::path> container) {
    WidgetBundle bundle;
    bundle.info = {{"PyrelleAppGroup", group}};
    bundle.groupContainer = [container](const std::string&) { return container; };
    return bundle;
}

TEST(WidgetStorageLocation, AppGroupWithoutContainerHasNoLocationAndNoFallback) {
    WidgetBundle bundle = bundleWithGroup("group.app.pyrelle", std::nullopt);
    EXPECT_FALSE(WidgetStorage::url(bundle));
    EXPECT_FALSE(WidgetStorage::read(std::nullopt, bundle));
    EXPECT_THROW(WidgetStorage::write(sampleSnapshot(), std::nullopt, bundle), WidgetDataError);
}

TEST(WidgetStorageLocation, AppGroupContainerHoldsTheFile) {
    TemporaryDirectory dir;
    WidgetBundle bundle = bundleWithGroup("group.app.pyrelle", dir.path());
    EXPECT_EQ(WidgetStorage::url(bundle), dir / "status.json");
    WidgetStorage::write(sampleSnapshot(), std::nullopt, bundle);
    EXPECT_EQ(WidgetStorage::read(std::nullopt, bundle), sampleSnapshot());
}

TEST(WidgetStorageLocation, WithoutAUsableGroupTheFileIsUnderTheHomeDirectory) {
    fs::path expected = WidgetBundle::homeDirectory() /
                        "Library/Application Support/Pyrelle/WidgetSnapshots/status.json";
    for (nlohmann::json group : {nlohmann::json(""), nlohmann::json(5), nlohmann::json()}) {
        WidgetBundle bundle;
        if (!group.is_null()) bundle.info["PyrelleAppGroup"] = group;
        bundle.groupContainer = [](const std::string&) -> std::optional<fs::path> {
            ADD_FAILURE() << "no container lookup without a group";
            return std::nullopt;
        };
        EXPECT_EQ(WidgetStorage::url(bundle), expected);
    }
}

TEST(WidgetStorageLocation, GroupNamesCannotLeaveTheContainersDirectory) {
    for (const char* group : {"..", ".", "a/b", "../../etc", ""}) {
        EXPECT_FALSE(WidgetBundle::defaultGroupContainer(group)) << group;
    }
}

TEST(WidgetBundleTest, ReadsItsDictionaryBesideTheResources) {
    TemporaryDirectory dir;
    writeText(dir / "Info.json", R"({"PyrelleURLScheme":"kilnview-store","PyrelleAppGroup":7})");
    WidgetBundle bundle = WidgetBundle::at(dir.path());
    EXPECT_EQ(bundle.text("PyrelleURLScheme"), "kilnview-store");
    EXPECT_FALSE(bundle.text("PyrelleAppGroup"));
    EXPECT_EQ(bundle.resource("Localization", "json"), dir / "Localization.json");
    writeText(dir / "Info.json", "[1,2");
    EXPECT_TRUE(WidgetBundle::at(dir.path()).info.empty());
}

}  // namespace
}  // namespace pyrelle
