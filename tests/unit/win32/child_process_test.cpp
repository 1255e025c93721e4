// The Win32 child runner, with the win_child program as the child.

#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string child_program = std::string(FIXTURE_DIR) + "/win_child.exe";
const std::string header = "Content-type: text/html\r\n\r\n";

struct Outcome {
    platform::ChildRunStatus status;
    std::string output;
};

Outcome run(const std::string& arguments, std::string_view input = {},
            std::chrono::milliseconds limit = 10000ms, std::size_t cap = 1 << 20) {
    static const char environment[] = "A=1\0SystemRoot=C:\\windows\0Z=last\0";
    std::string command_line = child_program + (arguments.empty() ? "" : " " + arguments);
    platform::ChildRun child_run;
    child_run.command_line = command_line;
    child_run.environment_block = std::span<const char>(environment, sizeof environment);
    child_run.working_directory = FIXTURE_DIR;
    child_run.input = std::span<const char>(input.data(), input.size());
    child_run.time_limit = deadline_after(limit.count());
    child_run.output_cap = cap;
    std::vector<char> output;
    platform::ChildRunStatus status = platform::run_child(child_run, output);
    return {status, std::string(output.begin(), output.end())};
}

// The environment entries that the child printed, without those that Wine
// adds to every process it starts (and it moves SystemRoot behind them).
std::vector<std::string> child_environment(const std::string& output) {
    std::vector<std::string> entries;
    std::size_t start = output.find("\ncwd=");
    start = output.find('\n', start + 1) + 1;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        std::string entry = output.substr(start, end - start);
        if (!entry.starts_with("WINE") && !entry.starts_with("SystemDrive="))
            entries.push_back(entry);
        start = end + 1;
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

TEST(RunChild, ChildGetsItsInputEnvironmentAndDirectory) {
    Outcome outcome = run("", "a=1&b=2");
    ASSERT_EQ(outcome.status, platform::ChildRunStatus::finished);
    std::string directory = FIXTURE_DIR;
    std::replace(directory.begin(), directory.end(), '/', '\\');
    ASSERT_TRUE(outcome.output.starts_with(header + "stdin=a=1&b=2\ncwd=")) << outcome.output;
    EXPECT_NE(outcome.output.find(directory + "\n"), std::string::npos) << outcome.output;
    EXPECT_EQ(child_environment(outcome.output),
              (std::vector<std::string>{"A=1", "SystemRoot=C:\\windows", "Z=last"}));
}

TEST(RunChild, EmptyInputReachesItsEnd) {
    Outcome outcome = run("");
    ASSERT_EQ(outcome.status, platform::ChildRunStatus::finished);
    EXPECT_TRUE(outcome.output.starts_with(header + "stdin=\n")) << outcome.output;
}

TEST(RunChild, OutputBeyondThePipeBufferArrivesWhole) {
    Outcome outcome = run("big=300000");
    ASSERT_EQ(outcome.status, platform::ChildRunStatus::finished);
    EXPECT_EQ(outcome.output, header + std::string(300000, 'a'));
}

TEST(RunChild, OutputOverTheCapIsDropped) {
    Outcome outcome = run("big=5000", {}, 10000ms, 1000);
    EXPECT_EQ(outcome.status, platform::ChildRunStatus::output_too_large);
    EXPECT_EQ(outcome.output, "");
}

TEST(RunChild, ChildOverItsTimeLimitIsEnded) {
    auto started = std::chrono::steady_clock::now();
    Outcome outcome = run("sleep=20000", {}, 500ms);
    EXPECT_EQ(outcome.status, platform::ChildRunStatus::timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(RunChild, GrandchildHoldingThePipeDoesNotHoldTheRun) {
    auto started = std::chrono::steady_clock::now();
    Outcome outcome = run("spawn");
    ASSERT_EQ(outcome.status, platform::ChildRunStatus::finished);
    EXPECT_EQ(outcome.output, header + "spawned\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

TEST(RunChild, MissingProgramFailsToStart) {
    platform::ChildRun child_run;
    std::string command_line = std::string(FIXTURE_DIR) + "/no_such_program.exe";
    static const char environment[] = "A=1\0";
    child_run.command_line = command_line;
    child_run.environment_block = std::span<const char>(environment, sizeof environment);
    child_run.output_cap = 1000;
    std::vector<char> output;
    EXPECT_EQ(platform::run_child(child_run, output), platform::ChildRunStatus::start_failed);
}

} // namespace
