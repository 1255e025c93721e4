#pragma once

// Small loopback fixtures for the dispatch tests: a listener on 127.0.0.1 at a
// port the system picks, blocking client connections, and bounded reads.

#include "platform/socket.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace loopback {

using namespace std::chrono_literals;

inline int fd_of(const platform::Socket& socket) {
    return static_cast<int>(socket.get());
}

inline sockaddr_in address_of(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A listening socket on 127.0.0.1; invalid on failure.
inline platform::Socket listener() {
    platform::Socket socket = platform::open_tcp_socket();
    sockaddr_in address = address_of(0);
    if (::bind(fd_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !platform::listen_on(socket, 16))
        return {};
    return socket;
}

// A blocking client connection to 127.0.0.1:`port`; invalid on failure.
inline platform::Socket connect_to(std::uint16_t port) {
    platform::Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = address_of(port);
    if (::connect(fd_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    return socket;
}

inline bool send_raw(platform::Socket& socket, std::string_view bytes) {
    return ::send(fd_of(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// Closes with a reset instead of an orderly end.
inline void reset(platform::Socket& socket) {
    linger abort_at_once{1, 0};
    ::setsockopt(fd_of(socket), SOL_SOCKET, SO_LINGER, &abort_at_once, sizeof abort_at_once);
    socket.close();
}

struct ReadResult {
    std::string bytes;
    bool ended = false; // end of file or reset seen before the limit
};

// Reads until the peer ends the connection or `limit` passes.
inline ReadResult read_to_end(platform::Socket& socket, std::chrono::milliseconds limit) {
    ReadResult result;
    auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_of(socket), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return result;
        ssize_t count = ::recv(fd_of(socket), buffer, sizeof buffer, 0);
        if (count <= 0) {
            result.ended = true;
            return result;
        }
        result.bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

// Waits, checking every few milliseconds, until `condition` holds or `limit`
// passes. For states of other threads that offer nothing to wait on.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 3000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

} // namespace loopback
