#pragma once

// Sockets. Error numbers are reported in Windows Sockets numbering on every
// platform, so that log lines read the same everywhere.

#include "common/deadline.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform {

inline constexpr int error_would_block = 10035;
inline constexpr int error_message_too_long = 10040;
inline constexpr int error_connection_aborted = 10053;
inline constexpr int error_connection_reset = 10054;
inline constexpr int error_timed_out = 10060;

// Owns one socket; closes it on destruction. Move-only.
class Socket {
public:
    Socket() = default;
    explicit Socket(std::intptr_t handle) : handle_(handle) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.release();
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return handle_ != invalid_handle; }
    std::intptr_t get() const { return handle_; }
    // Gives the handle up without closing it.
    std::intptr_t release() {
        std::intptr_t handle = handle_;
        handle_ = invalid_handle;
        return handle;
    }
    // Closes the handle, if any; each backend has its own way.
    void close();

    static constexpr std::intptr_t invalid_handle = -1;

private:
    std::intptr_t handle_ = invalid_handle;
};

// Starts the socket layer. Returns 0 on success, -1 on failure.
int start_sockets();
// Ends the use of the socket layer; harmless when it has already ended.
void stop_sockets();

// Writes the local host name, terminated, into `name`. Returns false when the
// name cannot be obtained or does not fit.
bool get_host_name(std::span<char> name);

// A TCP socket over IPv4; invalid on failure. It never raises a signal on a
// send to a closed connection, and it is not inherited by child processes.
Socket open_tcp_socket();
// Binds to any local IPv4 address at `port`. Returns false on failure.
bool bind_any(Socket& socket, std::uint16_t port);
// Returns false on failure.
bool listen_on(Socket& socket, int backlog);
// The port a bound socket listens on, or 0.
std::uint16_t local_port(const Socket& socket);

struct Accepted {
    Socket socket;                  // valid when a connection was taken
    std::uint32_t peer_address = 0; // IPv4, network byte order
    int error = 0;                  // Windows Sockets number when `socket` is invalid
};

// Waits, blocking, until `deadline` for a connection on `listener` and takes
// it. The connection socket is non-blocking. Without a connection by the
// deadline the error is error_timed_out; error_would_block when woken by
// wake_listener or by a connection that went away before it was taken.
Accepted accept_connection(Socket& listener, Deadline deadline);
// Wakes a thread waiting in accept_connection on `listener` for good: every
// later accept fails at once. For shutting a listener down in tests.
void wake_listener(Socket& listener);

// Receives up to buffer.size() bytes, waiting until some arrive, the peer
// closes, or `deadline` passes. Returns the count (> 0), 0 when the peer has
// closed its side, or minus a Windows Sockets number: -error_timed_out when the
// deadline passed, -error_connection_reset, -error_connection_aborted.
int receive(Socket& socket, std::span<char> buffer, Deadline deadline);

// Whether more of the same reply follows at once. The bytes then wait in the
// system for what follows, so that a short reply leaves in one packet; the
// sending that follows, or the shutdown, lets them go.
enum class MoreFollows { no, yes };

// Sends every byte of `bytes`, waiting for the socket to take more after a
// partial send. Returns 0 when every byte went out, -1 when the peer failed or
// `deadline` passed first.
int send_all(Socket& socket, std::span<const char> bytes, Deadline deadline,
             MoreFollows more = MoreFollows::no);

// Shuts the sending direction down: the peer sees the end of the reply.
void shutdown_send(Socket& socket);
// Shuts both directions down at once. Safe to call from another thread while
// the owner waits on the socket: that wait wakes and every later call fails.
void shutdown_both(Socket& socket);

} // namespace platform
