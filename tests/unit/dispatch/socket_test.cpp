#include "loopback.h"
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <vector>

namespace {

using namespace std::chrono_literals;
using loopback::fd_of;

auto elapsed_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Both ends of one loopback connection: the server's as accept_connection
// hands it over, the client's blocking.
struct Connection {
    platform::Socket listener = loopback::listener();
    platform::Socket client = loopback::connect_to(platform::local_port(listener));
    platform::Accepted server = platform::accept_connection(listener, deadline_after(2000));
};

std::vector<char> pattern(std::size_t size) {
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

constexpr std::size_t big_piece = 8 * 1024 * 1024; // far more than the socket buffers hold

TEST(AcceptConnection, TakesNonBlockingConnectionWithPeerInNetworkOrder) {
    Connection connection;
    ASSERT_TRUE(connection.server.socket.valid()) << connection.server.error;
    std::array<unsigned char, 4> octets{};
    std::memcpy(octets.data(), &connection.server.peer_address, 4);
    EXPECT_EQ(octets, (std::array<unsigned char, 4>{127, 0, 0, 1}));
    int fd = fd_of(connection.server.socket);
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
}

TEST(AcceptConnection, EndsAtDeadlineWithoutConnection) {
    platform::Socket listener = loopback::listener();
    auto start = Clock::now();
    platform::Accepted accepted = platform::accept_connection(listener, deadline_after(60));
    EXPECT_FALSE(accepted.socket.valid());
    EXPECT_EQ(accepted.error, platform::error_timed_out);
    EXPECT_GE(elapsed_since(start), 60ms);
}

TEST(AcceptConnection, WakeListenerEndsWaitingAndEveryLaterAccept) {
    platform::Socket listener = loopback::listener();
    auto waiting = std::async(std::launch::async, [&] {
        return platform::accept_connection(listener, no_deadline).error;
    });
    EXPECT_EQ(waiting.wait_for(30ms), std::future_status::timeout);
    platform::wake_listener(listener);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), platform::error_would_block);

    auto start = Clock::now();
    platform::Accepted later = platform::accept_connection(listener, no_deadline);
    EXPECT_FALSE(later.socket.valid());
    EXPECT_EQ(later.error, platform::error_would_block);
    EXPECT_LT(elapsed_since(start), 500ms);
}

struct ReceiveCase {
    const char* name;
    void (*peer)(platform::Socket& client);
    int expected;
};
const ReceiveCase receive_cases[] = {
    {"data", [](platform::Socket& c) { loopback::send_raw(c, "abc"); }, 3},
    {"orderly_close", [](platform::Socket& c) { c.close(); }, 0},
    {"reset", [](platform::Socket& c) { loopback::reset(c); }, -platform::error_connection_reset},
    {"silence_until_deadline", [](platform::Socket&) {}, -platform::error_timed_out},
};

TEST(Receive, Outcomes) {
    for (const auto& c : receive_cases) {
        SCOPED_TRACE(c.name);
        Connection connection;
        ASSERT_TRUE(connection.server.socket.valid());
        c.peer(connection.client);
        std::array<char, 16> buffer{};
        EXPECT_EQ(platform::receive(connection.server.socket, buffer, deadline_after(100)),
                  c.expected);
    }
}

TEST(Receive, ShutdownFromAnotherThreadWakesTheWait) {
    Connection connection;
    ASSERT_TRUE(connection.server.socket.valid());
    auto waiting = std::async(std::launch::async, [&] {
        std::array<char, 16> buffer{};
        return platform::receive(connection.server.socket, buffer, deadline_after(10000));
    });
    EXPECT_EQ(waiting.wait_for(30ms), std::future_status::timeout);
    platform::shutdown_both(connection.server.socket);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_TRUE(loopback::read_to_end(connection.client, 2000ms).ended);
}

TEST(SendAll, DeliversLargePieceWholeToSlowReader) {
    Connection connection;
    ASSERT_TRUE(connection.server.socket.valid());
    std::vector<char> piece = pattern(big_piece);
    auto reader = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(50ms); // let the sender fill every buffer first
        std::string received;
        char buffer[16384];
        while (received.size() < big_piece) {
            ssize_t count = ::recv(fd_of(connection.client), buffer, sizeof buffer, 0);
            if (count <= 0)
                break;
            received.append(buffer, static_cast<std::size_t>(count));
        }
        return received;
    });
    EXPECT_EQ(platform::send_all(connection.server.socket, piece, deadline_after(10000)), 0);
    std::string received = reader.get();
    ASSERT_EQ(received.size(), piece.size());
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), received.begin()));
}

TEST(SendAll, FailsWhenDeadlinePassesFirst) {
    Connection connection;
    ASSERT_TRUE(connection.server.socket.valid());
    std::vector<char> piece = pattern(big_piece);
    auto start = Clock::now();
    EXPECT_EQ(platform::send_all(connection.server.socket, piece, deadline_after(150)), -1);
    EXPECT_GE(elapsed_since(start), 150ms);
    EXPECT_LT(elapsed_since(start), 2000ms);
}

struct SendFailureCase {
    const char* name;
    void (*interrupt)(Connection& connection);
};
const SendFailureCase send_failure_cases[] = {
    {"peer_resets", [](Connection& c) { loopback::reset(c.client); }},
    {"shut_down_by_supervisor", [](Connection& c) { platform::shutdown_both(c.server.socket); }},
};

TEST(SendAll, FailsPromptlyWhenConnectionBreaksWhileWaiting) {
    for (const auto& c : send_failure_cases) {
        SCOPED_TRACE(c.name);
        Connection connection;
        ASSERT_TRUE(connection.server.socket.valid());
        std::vector<char> piece = pattern(big_piece);
        auto start = Clock::now();
        auto sending = std::async(std::launch::async, [&] {
            return platform::send_all(connection.server.socket, piece, deadline_after(10000));
        });
        EXPECT_EQ(sending.wait_for(50ms), std::future_status::timeout);
        c.interrupt(connection);
        ASSERT_EQ(sending.wait_for(3s), std::future_status::ready);
        EXPECT_EQ(sending.get(), -1);
        EXPECT_LT(elapsed_since(start), 3000ms);
    }
}

TEST(GetHostName, RefusesNameThatDoesNotFit) {
    std::array<char, 1> tiny{};
    EXPECT_FALSE(platform::get_host_name(tiny));
    std::array<char, 80> name{};
    ASSERT_TRUE(platform::get_host_name(name));
    EXPECT_NE(name[0], '\0');
}

} // namespace
