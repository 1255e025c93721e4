// The accept chain seen from outside: the slot limit and the time limit of a
// connection's handler.

#include "harness.h"

#include <filesystem>

namespace blackbox {
namespace {

using DispatchTest = ServerTest;

const std::string put_request = "PUT / HTTP/1.0\r\n\r\n";
const std::string put_line = "127.000.000.001 PUT  501 Not Implemented";

// MAXTHREAD 3 leaves two connections in service; the third waits in the
// backlog until a slot is given back.
TEST_F(DispatchTest, ThirdConnectionWaitsForAFreeSlot) {
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"MAXTHREAD", "3"}, {"LOGSWITCH", "100"}}}}));
    Client first(port);
    Client second(port);
    Client third(port);
    ASSERT_TRUE(third.send(put_request));
    EXPECT_EQ(third.read_until_closed(1000ms).end, End::timed_out);

    first.close();
    auto freed = Clock::now();
    Received reply = third.read_until_closed(3000ms);
    EXPECT_EQ(reply.bytes, "501 Not Implemented");
    EXPECT_EQ(reply.end, End::closed);
    EXPECT_LT(Clock::now() - freed, 1500ms);

    ASSERT_TRUE(log.wait_for_message(put_line));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{texts::start_banner,
                                        "127.000.000.001  Warning[0]:" + texts::client_cancelled,
                                        put_line}));
}

// A connection whose handler waits, for the client, for a client that does not
// read, or for a child, never holds up the next connection.
TEST_F(DispatchTest, WaitingHandlerDoesNotHoldUpTheNextConnection) {
    std::filesystem::copy_file(FIXTURE_DIR "/cgi_probe", workspace / "cgi-bin/probe.exe");
    workspace.write_file("htdocs/a.html", "quick");
    // More than the kernel buffers of both ends hold, so its sender waits.
    workspace.write_file("htdocs/big.gif", std::string(24 << 20, 'b'));
    ASSERT_NO_FATAL_FAILURE(start({{"SECURITY", {{"CGIDIR", "OPEN"}}},
                                   {"SERVER", {{"MAXTHREAD", "0"}, {"LOGSWITCH", "100"}}}}));
    const std::string quick_reply =
        "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: Keep-Alive\r\n"
        "Content-type: text/html\r\n\r\nquick";
    struct Case {
        const char* name;
        std::string sent; // by the connection that keeps its handler waiting
    };
    const Case cases[] = {
        {"silent", ""},
        {"head_unfinished", "GET /a.html HTTP/1.0\r\n"},
        {"reply_unread", "GET /big.gif HTTP/1.0\r\n\r\n"},
        {"slow_child", "GET /probe.cgi?sleep=3 HTTP/1.0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client waiting(port);
        ASSERT_TRUE(waiting.send(c.sent));
        auto asked = Clock::now();
        Received reply = request_reply(port, "GET /a.html HTTP/1.0\r\n\r\n", "127.0.0.1", 3000ms);
        EXPECT_EQ(reply.bytes, quick_reply);
        EXPECT_LT(Clock::now() - asked, 1000ms);
        waiting.reset();
    }
}

TEST_F(DispatchTest, SingleSlotNeverServes) {
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"MAXTHREAD", "1"}}}}));
    Client client(port);
    ASSERT_TRUE(client.send(put_request));
    Received reply = client.read_until_closed(1000ms);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_EQ(reply.end, End::timed_out);
}

// CGITIMEOUT 1 gives a handler 2 seconds. A client that sends nothing sees its
// connection closed then, without a byte, and leaves no access line.
TEST_F(DispatchTest, OverdueHandlerIsStoppedWithoutALine) {
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"CGITIMEOUT", "1"}, {"LOGSWITCH", "100"}}}}));
    Client silent(port);
    auto connected = Clock::now();
    Received received = silent.read_until_closed(6000ms);
    auto waited = Clock::now() - connected;
    EXPECT_EQ(received.bytes, "");
    EXPECT_NE(received.end, End::timed_out);
    EXPECT_GT(waited, 1500ms);
    EXPECT_LT(waited, 4000ms);

    // The slot came back: the next request is served, and its line is the
    // only one behind the banner.
    EXPECT_EQ(request_reply(port, put_request).bytes, "501 Not Implemented");
    ASSERT_TRUE(log.wait_for_message(put_line));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{texts::start_banner, put_line}));
}

} // namespace
} // namespace blackbox
