#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using platform::ChildRunStatus;
namespace fs = std::filesystem;

const std::string probe = std::string(FIXTURE_DIR) + "/cgi_probe";
constexpr std::string_view header = "Content-Type: text/plain\r\n\r\n";

std::vector<char> block_of(std::initializer_list<std::string_view> entries) {
    std::vector<char> block;
    for (std::string_view entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

struct ChildSetup {
    explicit ChildSetup(std::string command_line) : command(std::move(command_line)) {}
    ChildSetup &environment_of(std::vector<char> block) {
        environment = std::move(block);
        return *this;
    }
    ChildSetup &input_of(std::string bytes) {
        input = std::move(bytes);
        return *this;
    }
    ChildSetup &directory_of(std::string path) {
        directory = std::move(path);
        return *this;
    }
    ChildSetup &limit_of(std::chrono::milliseconds milliseconds) {
        limit = milliseconds;
        return *this;
    }
    ChildSetup &cap_of(std::size_t bytes) {
        cap = bytes;
        return *this;
    }

    std::string command;
    std::vector<char> environment = block_of({});
    std::string input;
    std::string directory = "/";
    std::chrono::milliseconds limit = 10s;
    std::size_t cap = 1 << 20;
};

struct Outcome {
    ChildRunStatus status;
    std::string output;
    Clock::duration elapsed;
};

Outcome run(const ChildSetup &setup) {
    platform::ChildRun child;
    child.command_line = setup.command;
    child.environment_block = setup.environment;
    child.working_directory = setup.directory.c_str();
    child.input = setup.input;
    child.time_limit = deadline_after(setup.limit.count());
    child.output_cap = setup.cap;
    std::vector<char> output{'x'};
    auto start = Clock::now();
    ChildRunStatus status = platform::run_child(child, output);
    return {status, std::string(output.begin(), output.end()), Clock::now() - start};
}

// Every child this process started has been reaped. Only while no run is under
// way on another thread.
void expect_no_child_left() {
    int status = 0;
    errno = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (fs::temp_directory_path() / "child_process_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? fs::canonical(pattern) : fs::path();
    }
    ~TempDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

bool process_gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    // The state follows the command name in parentheses; a zombie has ended.
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// Killing takes effect asynchronously; give it a bounded moment.
bool ends_soon(pid_t pid) {
    for (auto until = Clock::now() + 3s; Clock::now() < until; std::this_thread::sleep_for(10ms))
        if (process_gone(pid))
            return true;
    return process_gone(pid);
}

TEST(RunChild, ChildSeesExactlyItsEnvironmentBlock) {
    struct Case {
        const char *name;
        std::vector<char> block;
        std::string expected;
    };
    const Case cases[] = {
        {"empty_block", block_of({}), ""},
        {"entries_in_block_order", block_of({"B=two words", "A=1", "EMPTY=", "PATH=/nowhere"}),
         "B=two words\nA=1\nEMPTY=\nPATH=/nowhere\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = run(ChildSetup(probe + " env").environment_of(c.block));
        EXPECT_EQ(outcome.status, ChildRunStatus::finished);
        EXPECT_EQ(outcome.output, std::string(header) + c.expected);
    }
    expect_no_child_left();
}

TEST(RunChild, InputArrivesWholeAndThenEnds) {
    std::string every_byte;
    for (int i = 0; i < 1023; ++i)
        every_byte.push_back(static_cast<char>(i % 256));
    std::string beyond_pipe(200000, 'q');
    struct Case {
        const char *name;
        std::string input;
    };
    const Case cases[] = {
        {"nothing", ""},
        {"form_body", "a=1"},
        {"largest_body_any_bytes", every_byte},
        {"more_than_a_pipe_holds", beyond_pipe},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = run(ChildSetup(probe + " stdin").input_of(c.input));
        EXPECT_EQ(outcome.status, ChildRunStatus::finished);
        EXPECT_EQ(outcome.output,
                  std::string(header) + "count=" + std::to_string(c.input.size()) + "\n" + c.input);
    }
    expect_no_child_left();
}

TEST(RunChild, OutputBeyondThePipeArrivesWhole) {
    Outcome outcome = run(ChildSetup(probe + " big=307200"));
    ASSERT_EQ(outcome.status, ChildRunStatus::finished);
    ASSERT_EQ(outcome.output.size(), header.size() + 307200);
    EXPECT_TRUE(outcome.output.starts_with(header));
    for (std::size_t i = 0; i < 307200; ++i)
        if (outcome.output[header.size() + i] != static_cast<char>('a' + i % 26))
            FAIL() << "wrong byte at " << i;
}

TEST(RunChild, OutputOverTheCapEndsTheChild) {
    struct Case {
        const char *name;
        std::string command;
        std::size_t cap;
        ChildRunStatus expected;
    };
    const Case cases[] = {
        {"exactly_the_cap", probe + " big=1000", header.size() + 1000, ChildRunStatus::finished},
        {"one_byte_over", probe + " big=1000", header.size() + 999,
         ChildRunStatus::output_too_large},
        {"endless_writer", probe + " big=1000000000", 1 << 20, ChildRunStatus::output_too_large},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = run(ChildSetup(c.command).cap_of(c.cap));
        EXPECT_EQ(outcome.status, c.expected);
        EXPECT_EQ(outcome.output.size(), c.expected == ChildRunStatus::finished ? c.cap : 0);
        EXPECT_LT(outcome.elapsed, 5s);
    }
    expect_no_child_left();
}

TEST(RunChild, StandardErrorSharesTheOutput) {
    Outcome outcome = run(ChildSetup(probe + " stderr cwd"));
    EXPECT_EQ(outcome.status, ChildRunStatus::finished);
    EXPECT_EQ(outcome.output, std::string(header) + "to stderr\n/\n");
}

TEST(RunChild, GrandchildHoldingTheOutputDoesNotHoldTheResult) {
    Outcome outcome = run(ChildSetup(probe + " spawn"));
    EXPECT_EQ(outcome.status, ChildRunStatus::finished);
    // The grandchild keeps the pipe open for 5 seconds.
    EXPECT_LT(outcome.elapsed, 2500ms);
    std::string prefix = std::string(header) + "grandchild=";
    ASSERT_TRUE(outcome.output.starts_with(prefix));
    pid_t grandchild = std::atoi(outcome.output.c_str() + prefix.size());
    ASSERT_GT(grandchild, 0);
    EXPECT_FALSE(process_gone(grandchild)); // left alone at a normal end
    kill(grandchild, SIGKILL);
    expect_no_child_left();
}

TEST(RunChild, TimeLimitEndsTheChildAndWhatItStarted) {
    TempDirectory temp;
    fs::path pid_file = temp.path() / "pids";
    Outcome outcome = run(
        ChildSetup(probe + " pidfile=" + pid_file.string() + " spawn sleep=30").limit_of(300ms));
    EXPECT_EQ(outcome.status, ChildRunStatus::timed_out);
    EXPECT_EQ(outcome.output, "");
    EXPECT_GE(outcome.elapsed, 300ms);
    EXPECT_LT(outcome.elapsed, 3s);

    std::ifstream pids(pid_file);
    pid_t child = 0;
    pid_t grandchild = 0;
    ASSERT_TRUE(pids >> child >> grandchild);
    // Reaped, not merely killed: the number names no process any more.
    errno = 0;
    EXPECT_EQ(kill(child, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(ends_soon(grandchild));
    expect_no_child_left();
}

TEST(RunChild, ChildThatCannotStartLeavesNothing) {
    TempDirectory temp;
    fs::path not_executable = temp.path() / "script";
    std::ofstream(not_executable) << "#!/bin/sh\necho hi\n";
    fs::permissions(not_executable, fs::perms::owner_read | fs::perms::owner_write);
    struct Case {
        const char *name;
        std::string command;
        std::string directory;
    };
    const Case cases[] = {
        {"missing_path", "/nonexistent/program", "/"},
        {"name_not_on_path", "no-such-program-on-any-path", "/"},
        {"only_blanks", " \t  ", "/"},
        {"empty", "", "/"},
        {"not_executable", not_executable.string(), "/"},
        {"a_directory", temp.path().string(), "/"},
        {"missing_working_directory", probe + " plain", "/nonexistent-directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = run(ChildSetup(c.command).directory_of(c.directory));
        EXPECT_EQ(outcome.status, ChildRunStatus::start_failed);
        EXPECT_EQ(outcome.output, "");
        expect_no_child_left();
    }
}

TEST(RunChild, RelativeProgramIsFoundFromTheServerDirectory) {
    TempDirectory temp;
    std::string program = fs::relative(probe, fs::current_path()).string();
    if (program.find('/') == std::string::npos)
        program = "./" + program;
    // The child starts elsewhere; neither path may be taken from there.
    std::string directory = fs::relative(temp.path(), fs::current_path()).string();
    Outcome outcome = run(ChildSetup(program + " cwd args").directory_of(directory));
    EXPECT_EQ(outcome.status, ChildRunStatus::finished);
    EXPECT_EQ(outcome.output,
              std::string(header) + temp.path().string() + "\n" + program + "\ncwd\nargs\n");
}

TEST(RunChild, BareNameIsSearchedOnTheServersPath) {
    const char *saved = std::getenv("PATH");
    std::string saved_path = saved ? saved : "";
    setenv("PATH", (std::string("/nonexistent:") + FIXTURE_DIR + ":/usr/bin:/bin").c_str(), 1);
    // The child's own PATH leads nowhere: the search uses the server's.
    Outcome outcome = run(ChildSetup(" \tcgi_probe  args\t\ta \t b  ")
                              .environment_of(block_of({"PATH=/nonexistent"})));
    if (saved)
        setenv("PATH", saved_path.c_str(), 1);
    else
        unsetenv("PATH");
    EXPECT_EQ(outcome.status, ChildRunStatus::finished);
    EXPECT_EQ(outcome.output, std::string(header) + "cgi_probe\nargs\na\nb\n");
}

TEST(RunChild, ChildStartsWithDefaultSignalHandling) {
    struct sigaction ignore {};
    struct sigaction saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    Outcome outcome{};
    // The mask is the calling thread's, so it is changed on a thread of its own.
    std::thread runner([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        outcome = run(ChildSetup(probe + " signals"));
    });
    runner.join();
    sigaction(SIGPIPE, &saved, nullptr);
    EXPECT_EQ(outcome.status, ChildRunStatus::finished);
    EXPECT_EQ(outcome.output, std::string(header) + "SIGPIPE=default\nblocked=none\n");
}

// Descriptors above 2 that this process would pass to any child it starts.
std::string inheritable_descriptors() {
    std::string list;
    DIR *directory = opendir("/proc/self/fd");
    if (!directory)
        return "?";
    while (dirent *entry = readdir(directory)) {
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd <= 2 || fd == dirfd(directory))
            continue;
        if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0)
            list += (list.empty() ? "" : " ") + std::to_string(fd);
    }
    closedir(directory);
    return list.empty() ? "none" : list;
}

TEST(RunChild, ConcurrentRunsKeepTheirOwnPipes) {
    std::string expected_descriptors = "fds=" + inheritable_descriptors() + "\n";
    constexpr int runs_per_thread = 15;
    auto runs = [&](std::string mark, std::vector<std::string> &failures) {
        std::string expected = std::string(header) + expected_descriptors + "RUN=" + mark + "\n";
        for (int i = 0; i < runs_per_thread; ++i) {
            std::string entry = "RUN=" + mark;
            Outcome outcome = run(ChildSetup(probe + " fds env big=" + std::to_string(i * 5000))
                                      .environment_of(block_of({entry})));
            std::string wanted = expected + std::string(static_cast<std::size_t>(i) * 5000, '.');
            bool same = outcome.status == ChildRunStatus::finished &&
                        outcome.output.size() == wanted.size() &&
                        outcome.output.starts_with(expected);
            if (!same)
                failures.push_back(mark + std::to_string(i) + ": " + outcome.output.substr(0, 200));
        }
    };
    std::vector<std::string> failures_a;
    std::vector<std::string> failures_b;
    std::thread a(runs, "a", std::ref(failures_a));
    std::thread b(runs, "b", std::ref(failures_b));
    a.join();
    b.join();
    EXPECT_EQ(failures_a, std::vector<std::string>{});
    EXPECT_EQ(failures_b, std::vector<std::string>{});
    expect_no_child_left();
}

} // namespace
