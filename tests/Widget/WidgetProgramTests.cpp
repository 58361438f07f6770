// The real PyrelleWidget program on a status file written by WidgetStorage: the cards it
// renders, its timeline and its command line.
#include <sys/wait.h>

#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "WidgetTestSupport.hpp"
#include "support/Subprocess.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"

namespace pyrelle {
namespace {

namespace fs = std::filesystem;
using widget_test::readText;
using widget_test::sampleSnapshot;
using widget_test::TemporaryDirectory;
using widget_test::texts;

const fs::path kProgram = fs::path(PYRELLE_BINARY_DIR) / "Widget/PyrelleWidget";
constexpr double kDate = 786900000.5;

struct ProgramRun {
    int status;
    std::string err;
};

// Each program runs with a time limit and dies with the test, hung or not.
ProgramRun run(const TemporaryDirectory&, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {kProgram.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto r = testing::runProcess(argv, {.timeoutSeconds = 20});
    return {r.status, r.err};
}

// Every document parses as XML (checked by Python's parser, independent of ours). The
// system interpreter is preferred: version-manager shims take seconds to start.
bool wellFormed(const std::vector<fs::path>& files) {
    std::vector<std::string> argv = {"/usr/bin/python3"};
    if (!fs::exists(argv[0])) argv = {"/usr/bin/env", "python3"};
    argv.push_back("-c");
    argv.push_back("import sys, xml.etree.ElementTree as E\nfor f in sys.argv[1:]: E.parse(f)");
    for (const fs::path& file : files) argv.push_back(file.string());
    const auto r = testing::runProcess(argv, {.timeoutSeconds = 20});
    if (r.status != 0) std::fprintf(stderr, "%s", r.err.c_str());
    return r.status == 0;
}

class WidgetProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kProgram)) GTEST_SKIP() << "PyrelleWidget is not built";
        status_ = dir_ / "support/status.json";
        WidgetStorage::write(sampleSnapshot(kDate), status_);
    }

    ProgramRun render(double now, const fs::path& out) {
        return run(dir_, {"--out", out.string(), "--status", status_.string(), "--now",
                          std::to_string(now)});
    }

    std::vector<fs::path> cards(const fs::path& out) {
        std::vector<fs::path> files;
        for (int entry = 0; entry < 3; ++entry) {
            for (const char* size : {"small", "medium", "large"}) {
                files.push_back(out / ("entry-" + std::to_string(entry) + "-" + size + ".svg"));
            }
        }
        return files;
    }

    TemporaryDirectory dir_;
    fs::path status_;
};

TEST_F(WidgetProgram, RendersEveryEntryForEveryFamilyWithFiguresLinksAndTrends) {
    fs::path out = dir_ / "out";
    ASSERT_EQ(render(kDate + 60, out).status, 0);
    std::vector<fs::path> files = cards(out);
    for (const fs::path& file : files) ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_TRUE(wellFormed(files));

    std::string small = readText(out / "entry-0-small.svg");
    EXPECT_EQ(texts(small, "figure"), (std::vector<std::string>{"58°", "CPU 12%", "2400 RPM"}));
    EXPECT_NE(small.find("href=\"pyrelle://metric/cpuTemperature\""), std::string::npos);
    EXPECT_NE(small.find("href=\"pyrelle://overview\""), std::string::npos);
    EXPECT_EQ(texts(small, "mode"), std::vector<std::string>{"均衡"});

    std::string large = readText(out / "entry-1-large.svg");
    for (const char* metric : {"cpuTemperature", "cpuUsage", "fan"}) {
        EXPECT_NE(large.find(std::string("href=\"pyrelle://metric/") + metric + "\""),
                  std::string::npos);
    }
    EXPECT_EQ(texts(large, "fan"),
              (std::vector<std::string>{"风扇 1 · 1850 · 自动", "风扇 2 · 2400 · 手动"}));
    EXPECT_EQ(texts(large, "status"), std::vector<std::string>{"最近状态"});
    EXPECT_EQ(texts(large, "turbo"), std::vector<std::string>{"睿频 · 开启睿频"});
    // The CPU-load trend has a gap between its two segments: two runs, each closed.
    std::smatch line;
    ASSERT_TRUE(std::regex_search(
        large, line,
        std::regex("data-metric=\"cpuUsage\"[^>]*>.*?class=\"trend-line\" d=\"([^\"]+)\"")));
    std::string lineData = line[1].str();
    EXPECT_EQ(std::count(lineData.begin(), lineData.end(), 'M'), 2);
    std::smatch area;
    ASSERT_TRUE(std::regex_search(
        large, area,
        std::regex("data-metric=\"cpuUsage\"[^>]*><path class=\"trend-area\" d=\"([^\"]+)\"")));
    std::string areaData = area[1].str();
    EXPECT_EQ(std::count(areaData.begin(), areaData.end(), 'Z'), 2);

    EXPECT_TRUE(fs::exists(out / "index.html"));
    EXPECT_NE(readText(out / "index.html").find("<svg"), std::string::npos);
}

TEST_F(WidgetProgram, TimelineHasThreeEntriesAndReloadsAfterTheLast) {
    fs::path out = dir_ / "out";
    double now = kDate + 60;
    ASSERT_EQ(render(now, out).status, 0);
    nlohmann::json timeline = nlohmann::json::parse(readText(out / "timeline.json"));
    ASSERT_EQ(timeline["entries"].size(), 3u);
    EXPECT_DOUBLE_EQ(timeline["entries"][0]["date"].get<double>(), now);
    EXPECT_DOUBLE_EQ(timeline["entries"][1]["date"].get<double>(), now + 300);
    EXPECT_DOUBLE_EQ(timeline["entries"][2]["date"].get<double>(), now + 1800);
    EXPECT_DOUBLE_EQ(timeline["reloadAfter"].get<double>(), now + 1800);
    EXPECT_EQ(timeline["entries"][0]["freshness"], "recent");
    EXPECT_EQ(timeline["entries"][1]["freshness"], "previous");
    EXPECT_EQ(timeline["kind"], "PyrelleStatus");
    EXPECT_EQ(timeline["displayName"], "Kilnview");
}

TEST_F(WidgetProgram, ADayLaterEveryFigureIsADash) {
    fs::path out = dir_ / "out";
    ASSERT_EQ(render(kDate + 86401, out).status, 0);
    for (const fs::path& file : cards(out)) {
        std::vector<std::string> figures = texts(readText(file), "figure");
        ASSERT_FALSE(figures.empty()) << file;
        for (const std::string& figure : figures) {
            EXPECT_EQ(std::regex_search(figure, std::regex("[0-9]")) &&
                          figure.find("CPU") == std::string::npos,
                      false)
                << file << ": " << figure;
            EXPECT_NE(figure.find("—"), std::string::npos) << file << ": " << figure;
        }
        EXPECT_EQ(texts(readText(file), "fan").size(), 0u);
    }
}

TEST_F(WidgetProgram, UnusableStatusFilesShowTheWaitingState) {
    std::string hostile = sampleSnapshot(kDate).encode();
    hostile.replace(hostile.find("均衡"), 6, "<x>&\\u0001\\\"");
    widget_test::writeText(dir_ / "hostile.json", hostile);
    fs::create_symlink(status_, dir_ / "link.json");
    widget_test::writeText(dir_ / "huge.json", std::string(300000, '['));

    for (const char* name : {"missing.json", "link.json", "huge.json"}) {
        fs::path out = dir_ / (std::string("out-") + name);
        ASSERT_EQ(run(dir_, {"--out", out.string(), "--status", (dir_ / name).string(), "--now",
                             std::to_string(kDate)})
                      .status,
                  0)
            << name;
        std::string small = readText(out / "entry-0-small.svg");
        EXPECT_EQ(texts(small, "figure")[0], "—°") << name;
        EXPECT_TRUE(wellFormed(cards(out))) << name;
    }
    fs::path out = dir_ / "out-hostile";
    ASSERT_EQ(run(dir_, {"--out", out.string(), "--status", (dir_ / "hostile.json").string(),
                         "--now", std::to_string(kDate)})
                  .status,
              0);
    EXPECT_TRUE(wellFormed(cards(out)));
    EXPECT_EQ(texts(readText(out / "entry-0-small.svg"), "mode")[0], "&lt;x&gt;&amp; &quot;");
}

TEST_F(WidgetProgram, LinksPlantedInTheOutputDirectoryAreReplacedNotFollowed) {
    fs::path out = dir_ / "out";
    fs::create_directories(out);
    widget_test::writeText(dir_ / "victim", "keep");
    fs::create_symlink(dir_ / "victim", out / "index.html");
    fs::create_symlink(dir_ / "victim", out / "timeline.json");
    fs::create_symlink(dir_ / "created-through-link", out / "entry-0-small.svg");

    ASSERT_EQ(render(kDate + 60, out).status, 0);
    EXPECT_EQ(readText(dir_ / "victim"), "keep");
    EXPECT_FALSE(fs::exists(dir_ / "created-through-link"));
    std::size_t files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
        ++files;  // no temporary file is left behind
        EXPECT_TRUE(entry.is_regular_file() && !entry.is_symlink()) << entry.path();
        EXPECT_EQ(fs::status(entry.path()).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    }
    EXPECT_EQ(files, cards(out).size() + 2);
    EXPECT_NE(readText(out / "index.html").find("<svg"), std::string::npos);
}

TEST_F(WidgetProgram, BadCommandLinesExitWithStatusTwo) {
    std::vector<std::vector<std::string>> bad{
        {},
        {"--status", status_.string()},
        {"--out"},
        {"--out", (dir_ / "o").string(), "--now", "soon"},
        {"--out", (dir_ / "o").string(), "--now", "nan"},
        {"--out", (dir_ / "o").string(), "--now", "1e999"},
        {"--out", (dir_ / "o").string(), "--verbose"},
        {"--out", ""},
    };
    for (const auto& arguments : bad) {
        ProgramRun result = run(dir_, arguments);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(arguments);
        EXPECT_NE(result.err.find("PyrelleWidget: "), std::string::npos);
        EXPECT_NE(result.err.find("usage:"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir_ / "o"));
    widget_test::writeText(dir_ / "file", "x");
    ProgramRun unwritable = run(dir_, {"--out", (dir_ / "file/out").string()});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_FALSE(unwritable.err.empty());
}

}  // namespace
}  // namespace pyrelle
