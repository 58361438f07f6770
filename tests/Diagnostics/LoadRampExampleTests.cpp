// Worked example: four minutes of a virtual Mac under a load ramp (data/load-ramp.json, see
// data/README.md) replayed the way the desktop application uses the analysis code: each
// sample's application figures go through a 60-second activity window, whose rows feed the
// diagnostic engine together with the snapshot. What the user sees moves from `sampling` to
// `attention` as the renderer keeps the machine busy and the heat builds.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "pyrelle/CPUActivityWindow.hpp"
#include "pyrelle/DiagnosticEngine.hpp"

namespace pyrelle {
namespace {

struct Step {
    int time = 0;
    double load = 0;
    DiagnosticReport report;
};

std::vector<Step> replayLoadRamp() {
    std::ifstream file(std::string(PYRELLE_SOURCE_DIR) + "/tests/Diagnostics/data/load-ramp.json");
    const nlohmann::json document = nlohmann::json::parse(file);

    CPUActivityWindow window(60);
    DiagnosticEngine engine;
    std::vector<Step> steps;
    for (const nlohmann::json& sample : document.at("samples")) {
        const Snapshot snapshot = sample.at("snapshot").get<Snapshot>();
        std::vector<ActivitySource> sources;
        for (const nlohmann::json& s : sample.at("sources")) {
            ActivitySource source{s.at("id"), s.at("name"), s.at("cpu"), std::nullopt};
            if (s.contains("diskRate")) source.diskRate = s.at("diskRate").get<double>();
            sources.push_back(std::move(source));
        }
        window.record(sources, snapshot.date.secondsSinceReferenceDate());

        DiagnosticInput input;
        input.snapshot = snapshot;
        for (const SustainedActivity& row : window.rows())
            input.sources.push_back(DiagnosticSource::from(row));
        // The process figures behind the rows cover what the window has seen so far.
        input.processSeconds = window.seconds();
        input.processDate = snapshot.date;
        input.blockers = sample.at("blockers").get<int>();
        input.batteryPercent = sample.at("batteryPercent").get<double>();
        input.supportsLowPowerMode = sample.at("supportsLowPowerMode").get<bool>();
        steps.push_back(Step{sample.at("time"), sample.at("load"), engine.evaluate(input)});
    }
    return steps;
}

const char* name(DiagnosticState state) {
    switch (state) {
        case DiagnosticState::sampling: return "sampling";
        case DiagnosticState::attention: return "attention";
        case DiagnosticState::observing: return "observing";
        case DiagnosticState::stable: return "stable";
        case DiagnosticState::partial: return "partial";
    }
    return "?";
}

std::string describe(const DiagnosticReport& report) {
    std::string text = name(report.state);
    for (const DiagnosticFinding& f : report.findings) text += " " + f.id;
    return text;
}

// Each change of what the user sees: the second it happened and the state with its findings.
std::vector<std::pair<int, std::string>> changes(const std::vector<Step>& steps) {
    std::vector<std::pair<int, std::string>> result;
    for (const Step& step : steps) {
        const std::string text = describe(step.report);
        if (result.empty() || result.back().second != text) result.emplace_back(step.time, text);
    }
    return result;
}

const DiagnosticFinding& finding(const Step& step, const std::string& id) {
    for (const DiagnosticFinding& f : step.report.findings)
        if (f.id == id) return f;
    throw std::runtime_error("no finding " + id + " at " + std::to_string(step.time) + " s");
}

TEST(LoadRampExample, WhatTheUserSeesAsTheLoadRises) {
    const std::vector<Step> steps = replayLoadRamp();
    ASSERT_EQ(steps.size(), 241u);

    // Idle, then the renderer takes about five CPUs at 30 s: nothing is said until 45 s of
    // continuous data exist, and then it is named as a possible cause. The backup's disk
    // traffic is noted once it has lasted 30 s. At full load the CPU passes 80 °C, the system
    // lowers its speed limit while its thermal state is still "fair" (a limit, not overheating)
    // and a second later reports thermal pressure; when the backup ends its finding goes.
    const std::vector<std::pair<int, std::string>> expected = {
        {0, "sampling"},
        {45, "attention cpu:com.example.render"},
        {49, "attention cpu:com.example.render disk:com.example.backup"},
        {90, "attention cpu:com.example.render temperature-observation disk:com.example.backup"},
        {91, "attention system-limit cpu:com.example.render disk:com.example.backup"},
        {92, "attention thermal-pressure cpu:com.example.render disk:com.example.backup"},
        {150, "attention thermal-pressure cpu:com.example.render"},
    };
    EXPECT_EQ(changes(steps), expected);

    const DiagnosticFinding& render = finding(steps[45], "cpu:com.example.render");
    EXPECT_EQ(render.confidence, DiagnosticConfidence::possible);
    EXPECT_EQ(render.subject, "Render");
    EXPECT_EQ(render.seconds, 45);
    EXPECT_EQ(render.action, DiagnosticAction::reviewApplication("com.example.render"));
    EXPECT_GT(*render.value, 100);

    const DiagnosticFinding& limit = finding(steps[91], "system-limit");
    EXPECT_EQ(limit.kind, DiagnosticKind::performanceLimit);
    EXPECT_EQ(limit.severity, DiagnosticSeverity::warning);

    const DiagnosticFinding& pressure = finding(steps[92], "thermal-pressure");
    EXPECT_EQ(pressure.kind, DiagnosticKind::thermalLimit);  // limited and under pressure
    EXPECT_EQ(pressure.value, 2);

    const DiagnosticReport& last = steps.back().report;
    EXPECT_EQ(last.observedSeconds, 60);
    EXPECT_EQ(last.attentionCount, 2);
    ASSERT_TRUE(last.metrics && last.metrics->cpuSource);
    EXPECT_EQ(last.metrics->cpuSource->id, "com.example.render");
    EXPECT_EQ(last.metrics->thermalTitle, "较高");
    EXPECT_EQ(last.metrics->performanceLimited, true);
}

}  // namespace
}  // namespace pyrelle
