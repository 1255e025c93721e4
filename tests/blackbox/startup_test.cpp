// Start-up of the real binary: the settings file, the banners, and the wait for
// the operator's 'q' after the listener could not start.

#include "harness.h"

namespace blackbox {
namespace {

using StartupTest = ServerTest;

const std::string binding_failed = "\n Error in Binding socket.";

TEST_F(StartupTest, SectionAndKeyNamesMatchInAnyCase) {
    workspace.write_settings_text("[server]\nhttpport=" + std::to_string(port) + "\n");
    launch();
    ASSERT_TRUE(server->wait_listening(port)) << server->console();
}

TEST_F(StartupTest, StartBannerIsTheFirstRecordOfTheDefaultLog) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(log.wait_for_records(1));
    EXPECT_EQ(log.messages(), std::vector<std::string>{texts::start_banner});
    // The banner carries its own line feed in front of the record's CR LF.
    auto raw = workspace.read_file("httpd.log").value_or("");
    EXPECT_TRUE(raw.ends_with("\n\r\n")) << raw;
    EXPECT_EQ(raw.size(), 24 + texts::start_banner.size() + 2);
}

// Nothing but the port is set, so the log name, the rotation limit of 0 bytes,
// the address prefixes and the slot count are the defaults.
TEST_F(StartupTest, DefaultsHoldBesideThePort) {
    ASSERT_NO_FATAL_FAILURE(start());

    // Nine connections in service take every free slot of the default ten.
    std::vector<Client> held;
    for (int i = 0; i < 9; ++i)
        held.emplace_back(port);
    Client waiting(port);
    ASSERT_TRUE(waiting.send("PUT / HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(waiting.read_until_closed(500ms).end, End::timed_out);
    held.front().reset();
    Received reply = waiting.read_until_closed();
    EXPECT_EQ(reply.bytes, "501 Not Implemented");
    EXPECT_EQ(reply.end, End::closed);

    // The limit of 0 bytes rotates the log after each record that finds it
    // non-empty: the banner and the reset connection's line went to ".old",
    // and the PUT line started a new log.
    const std::string put_line = "127.000.000.001 PUT  501 Not Implemented";
    ASSERT_TRUE(log.wait_for_message(put_line));
    EXPECT_EQ(log.messages(), std::vector<std::string>{put_line});
    EXPECT_EQ(log.old_messages(),
              (std::vector<std::string>{texts::start_banner, "127.000.000.001  Warning[10054]:" +
                                                                 texts::client_cancelled}));
}

TEST_F(StartupTest, PortInUseWaitsForQ) {
    PortHolder holder(port);
    workspace.write_settings(
        {{"SERVER", {{"HTTPPORT", std::to_string(port)}, {"LOGSWITCH", "1"}}}});
    launch();
    ASSERT_TRUE(server->wait_console_contains(binding_failed)) << server->console();
    EXPECT_EQ(server->console(), binding_failed);
    ASSERT_TRUE(log.wait_for_records(1));
    EXPECT_EQ(log.messages(), std::vector<std::string>{texts::start_banner});

    // Neither other letters nor an upper-case Q stop it.
    server->type("abcQ\n");
    EXPECT_FALSE(server->wait_exit(300ms).has_value());

    server->type("xq\n");
    EXPECT_EQ(server->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{texts::start_banner, texts::stop_banner}));
    EXPECT_EQ(server->console(), binding_failed);
}

TEST_F(StartupTest, EndOfInputCountsAsQ) {
    PortHolder holder(port);
    workspace.write_settings(
        {{"SERVER", {{"HTTPPORT", std::to_string(port)}, {"LOGSWITCH", "1"}}}});
    launch();
    ASSERT_TRUE(server->wait_console_contains(binding_failed)) << server->console();
    server->close_input();
    EXPECT_EQ(server->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{texts::start_banner, texts::stop_banner}));
}

} // namespace
} // namespace blackbox
