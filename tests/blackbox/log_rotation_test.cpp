// Rotation of the log file by size, seen from outside: the record that finds
// the file over the limit is appended first, then the file takes the ".old" name.

#include "harness.h"

namespace blackbox {
namespace {

using LogRotationTest = ServerTest;

constexpr std::size_t one_mebibyte = 1048576;

TEST_F(LogRotationTest, FileAtTheLimitIsKept) {
    const std::string filler(one_mebibyte, 'x');
    workspace.write_file("httpd.log", filler);
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"LOGSWITCH", "1"}}}}));

    auto raw = workspace.read_file("httpd.log").value_or("");
    ASSERT_TRUE(raw.starts_with(filler)) << "the log lost its content";
    LogRecords appended = parse_log(std::string_view(raw).substr(filler.size()));
    EXPECT_EQ(appended.problem, "");
    EXPECT_EQ(appended.messages, std::vector<std::string>{texts::start_banner});
    EXPECT_FALSE(log.old_exists());
}

TEST_F(LogRotationTest, FileOverTheLimitIsAppendedToThenRotated) {
    const std::string filler(one_mebibyte + 1, 'x');
    workspace.write_file("httpd.log", filler);
    workspace.write_file("httpd.log.old", "an older rotated file\r\n");
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"LOGSWITCH", "1"}}}}));

    EXPECT_FALSE(log.exists());
    auto raw = workspace.read_file("httpd.log.old").value_or("");
    ASSERT_TRUE(raw.starts_with(filler)) << "the rotated file is not the old log";
    LogRecords appended = parse_log(std::string_view(raw).substr(filler.size()));
    EXPECT_EQ(appended.problem, "");
    EXPECT_EQ(appended.messages, std::vector<std::string>{texts::start_banner});
}

// With the default limit of 0 bytes every record that finds the file non-empty
// rotates it: four banners in two runs leave only the latest pair, in ".old".
TEST_F(LogRotationTest, ZeroLimitKeepsTheLatestPair) {
    PortHolder holder(port);
    workspace.write_settings({{"SERVER", {{"HTTPPORT", std::to_string(port)}}}});
    std::string first_pair;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ServerProcess process(workspace.path());
        ASSERT_TRUE(process.wait_console_contains("\n Error in Binding socket."));
        process.close_input();
        ASSERT_EQ(process.wait_exit(), std::optional<int>(0));
        EXPECT_FALSE(log.exists());
        EXPECT_EQ(log.old_messages(),
                  (std::vector<std::string>{texts::start_banner, texts::stop_banner}));
        if (run == 0)
            first_pair = workspace.read_file("httpd.log.old").value_or("");
    }
    EXPECT_NE(workspace.read_file("httpd.log.old").value_or(""), first_pair)
        << "the second run's pair did not replace the first";
}

} // namespace
} // namespace blackbox
