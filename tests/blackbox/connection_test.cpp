// One connection, one request, one access line: the address check, the receipt
// of the request head, the console trace and the method gate, byte for byte.

#include "harness.h"

namespace blackbox {
namespace {

class ConnectionTest : public ServerTest {
protected:
    // LOGSWITCH 100 keeps every record in httpd.log.
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"LOGSWITCH", "100"}}}})); }
};

const std::string put_request = "PUT / HTTP/1.0\r\n\r\n";
const std::string not_implemented = "501 Not Implemented";

std::string cancelled_line(const char* peer, int number) {
    return std::string(peer) + "  Warning[" + std::to_string(number) +
           "]:" + texts::client_cancelled;
}

// How the client ends its side of a case.
enum class Finish {
    wait,       // waits until the server closes
    half_close, // shuts down its sending side, then waits
    reset,      // resets the connection at once
};

struct LineCase {
    const char* name;
    const char* source;
    std::string request;
    Finish finish;
    std::string reply;
    std::string line;
};

// Each case runs on the same server, one after the other, and must add exactly
// its one line to the log.
TEST_F(ConnectionTest, EachConnectionLeavesItsLine) {
    const LineCase cases[] = {
        {"lower_case_get", "127.0.0.1", "get / HTTP/1.0\r\n\r\n", Finish::wait, not_implemented,
         "127.000.000.001 get  501 Not Implemented"},
        {"head", "127.0.0.1", "HEAD / HTTP/1.0\r\n\r\n", Finish::wait, not_implemented,
         "127.000.000.001 HEAD 501 Not Implemented"},
        {"put", "127.0.0.1", put_request, Finish::wait, not_implemented,
         "127.000.000.001 PUT  501 Not Implemented"},
        {"getx", "127.0.0.1", "GETX / HTTP/1.0\r\n\r\n", Finish::wait, not_implemented,
         "127.000.000.001 GETX 501 Not Implemented"},
        {"delete_keeps_four_bytes", "127.0.0.1", "DELETE /x HTTP/1.0\r\n\r\n", Finish::wait,
         not_implemented, "127.000.000.001 DELE 501 Not Implemented"},
        {"prefix_is_text_so_15_is_admitted", "127.0.0.15", put_request, Finish::wait,
         not_implemented, "127.000.000.015 PUT  501 Not Implemented"},
        {"prefix_is_text_so_150_is_admitted", "127.0.0.150", put_request, Finish::wait,
         not_implemented, "127.000.000.150 PUT  501 Not Implemented"},
        {"line_end_bytes_of_the_method_escaped", "127.0.0.1", "\r\nPUT / HTTP/1.0\r\n\r\n",
         Finish::wait, not_implemented, "127.000.000.001 %0D%0APU 501 Not Implemented"},
        {"other_address_refused_unread", "127.0.0.2", put_request, Finish::wait, "",
         "127.000.000.002 Info:" + texts::access_refused + "  "},
        {"closed_before_head_complete", "127.0.0.1", "GET / HTTP/1.0\r\n", Finish::half_close, "",
         cancelled_line("127.000.000.001", 0)},
        {"reset_before_head_complete", "127.0.0.1", "GET / HTTP/1.0\r\n", Finish::reset, "",
         cancelled_line("127.000.000.001", 10054)},
        {"head_full_without_blank_line", "127.0.0.1", "GET /" + std::string(2047 - 5, 'a'),
         Finish::wait, "", cancelled_line("127.000.000.001", 10040)},
    };
    std::size_t records = 1; // the start banner
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(port, c.source);
        ASSERT_TRUE(client.connected());
        client.send(c.request);
        if (c.finish == Finish::reset) {
            client.reset();
        } else {
            if (c.finish == Finish::half_close)
                client.half_close();
            Received reply = client.read_until_closed();
            EXPECT_EQ(reply.bytes, c.reply);
            EXPECT_NE(reply.end, End::timed_out) << "the server kept the connection open";
        }
        ++records;
        ASSERT_TRUE(log.wait_for_records(records)) << "no line was written";
        auto messages = log.messages();
        ASSERT_EQ(messages.size(), records) << "more than one line was written";
        EXPECT_EQ(messages.back(), c.line);
    }
}

TEST_F(ConnectionTest, ConsoleTracesTheHead) {
    request_reply(port, "GET / HTTP/1.0\r\n\r\n");
    const std::string trace = "[18],GET / HTTP/1.0\r\n\r\n\n[18] ";
    ASSERT_TRUE(server->wait_console_contains(trace)) << server->console();
    EXPECT_EQ(server->console(), trace);
}

// A client cannot send terminal control sequences to the operator's console;
// line ends and tabs pass.
TEST_F(ConnectionTest, ConsoleTraceHidesControlBytes) {
    request_reply(port, "PUT /\x1b[2J\x7f\t HTTP/1.0\r\n\r\n");
    const std::string trace = "[24],PUT /.[2J.\t HTTP/1.0\r\n\r\n\n[24] ";
    ASSERT_TRUE(server->wait_console_contains(trace)) << server->console();
    EXPECT_EQ(server->console(), trace);
}

TEST_F(ConnectionTest, HeadSentByteByByteIsCollected) {
    Client client(port);
    ASSERT_TRUE(client.send_in_pieces(put_request, 1, 5ms));
    Received reply = client.read_until_closed();
    EXPECT_EQ(reply.bytes, not_implemented);
    EXPECT_EQ(reply.end, End::closed);
    // However the pieces arrived, the trace ends with the total of 18 bytes.
    EXPECT_TRUE(server->wait_console_contains("\n[18] ")) << server->console();
    EXPECT_TRUE(server->console().ends_with("\n[18] ")) << server->console();
    EXPECT_TRUE(log.wait_for_message("127.000.000.001 PUT  501 Not Implemented"));
}

// Four bytes are not a complete head, even when they are CR LF CR LF.
TEST_F(ConnectionTest, BlankLinesAloneKeepTheHandlerWaiting) {
    Client client(port);
    ASSERT_TRUE(client.send("\r\n\r\n"));
    Received reply = client.read_until_closed(500ms);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_EQ(reply.end, End::timed_out);
    EXPECT_EQ(log.messages(), std::vector<std::string>{texts::start_banner});
}

TEST_F(ConnectionTest, DeclaredBodyTooLargeIsRefused) {
    Received reply =
        request_reply(port, "POST /form.cgi HTTP/1.0\r\nContent-Length: 2000\r\n\r\nname=value");
    EXPECT_EQ(reply.bytes, "413 Request Entity Too Large");
    EXPECT_NE(reply.end, End::timed_out);
    const std::string status = "413 Request Entity Too Large";
    ASSERT_TRUE(log.wait_for_records(2));
    auto line = log.messages().back();
    EXPECT_TRUE(line.starts_with("127.000.000.001 ")) << line;
    EXPECT_TRUE(line.ends_with(status)) << line;
}

// Concurrent handlers write their lines under one lock: each line lands whole.
// The connections arrive at once, so connection attempts that the listen
// backlog drops are retried by the client's TCP only after 1, 3, 7... seconds.
TEST_F(ConnectionTest, ConcurrentConnectionsEachLeaveOneWholeLine) {
    constexpr int connection_count = 200;
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < connection_count; ++i)
        clients.emplace_back([&] {
            if (request_reply(port, put_request, "127.0.0.1", 10000ms).bytes == not_implemented)
                ++answered;
        });
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(answered, connection_count) << "requests answered within 10 s";
    ASSERT_TRUE(log.wait_for_records(connection_count + 1));
    auto messages = log.messages();
    ASSERT_EQ(messages.size(), std::size_t{connection_count + 1});
    EXPECT_EQ(messages.front(), texts::start_banner);
    for (std::size_t i = 1; i < messages.size(); ++i)
        ASSERT_EQ(messages[i], "127.000.000.001 PUT  501 Not Implemented") << "record " << i;
}

} // namespace
} // namespace blackbox
