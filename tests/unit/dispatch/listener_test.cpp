#include "common/fixed_text.h"
#include "dispatch/listener.h"
#include "dispatch/send.h"
#include "loopback.h"
#include "startup/server_settings.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

void unused_handler(ConnectionTicket&) {}

TEST(StartListener, PortInUseFailsTheBind) {
    platform::Socket other = loopback::listener();
    ASSERT_TRUE(other.valid());
    ServerSettings settings = default_settings();
    settings.HTTPPORT = platform::local_port(other);
    install_settings(settings);
    EXPECT_EQ(start_listener(unused_handler), -3);
    // The host name is taken before the socket is made.
    EXPECT_FALSE(text_of(host_name()).empty());
    EXPECT_EQ(stop_listener(), 1);
}

// A ticket for the server's end of a fresh loopback connection.
struct TicketFixture {
    platform::Socket listener = loopback::listener();
    platform::Socket client = loopback::connect_to(platform::local_port(listener));
    ConnectionTicket ticket;
    TicketFixture() {
        ticket.socket = platform::accept_connection(listener, deadline_after(2000)).socket;
        ticket.deadline = deadline_after(5000);
    }
};

TEST(SendPrimitives, SendWholeTextAndBytes) {
    TicketFixture fixture;
    ASSERT_TRUE(fixture.ticket.socket.valid());
    const char bytes[] = {'a', '\0', 'b'};
    EXPECT_EQ(send_text(fixture.ticket, "501 Not Implemented"), 0);
    EXPECT_EQ(send_bytes(fixture.ticket, bytes), 0);
    EXPECT_EQ(send_text(fixture.ticket, ""), 0);
    fixture.ticket.socket.close();
    EXPECT_EQ(loopback::read_to_end(fixture.client, 2000ms).bytes,
              std::string("501 Not Implemented") + std::string(bytes, 3));
}

struct RefusedCase {
    const char* name;
    void (*prepare)(ConnectionTicket& ticket);
};
const RefusedCase refused_cases[] = {
    {"cancelled", [](ConnectionTicket& t) { t.cancelled = true; }},
    {"deadline_passed", [](ConnectionTicket& t) { t.deadline = Clock::now() - 1ms; }},
};

TEST(SendPrimitives, SendNothingForCancelledOrOverdueHandler) {
    for (const auto& c : refused_cases) {
        SCOPED_TRACE(c.name);
        TicketFixture fixture;
        ASSERT_TRUE(fixture.ticket.socket.valid());
        c.prepare(fixture.ticket);
        EXPECT_EQ(send_text(fixture.ticket, "late"), -1);
        EXPECT_EQ(send_bytes(fixture.ticket, std::span<const char>("late", 4)), -1);
        fixture.ticket.socket.close();
        EXPECT_EQ(loopback::read_to_end(fixture.client, 2000ms).bytes, "");
    }
}

} // namespace
