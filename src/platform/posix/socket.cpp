#include "platform/socket.h"

#include "common/blocking.h"
#include "platform/posix/poll_timeout.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <algorithm>
#include <chrono>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

// Turns an errno value of a socket call into its Windows Sockets number, so
// that log lines carry the same numbers on every platform. Failures without a
// closer match count as a connection aborted on this side.
int socket_error_number(int error) {
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return error_would_block;
    case EMSGSIZE:
        return error_message_too_long;
    case ECONNRESET:
        return error_connection_reset;
    case ETIMEDOUT:
        return error_timed_out;
    case ECONNABORTED:
    case EPIPE:
    default:
        return error_connection_aborted;
    }
}

int handle_of(const Socket& socket) {
    return static_cast<int>(socket.get());
}

enum class WaitResult {
    ready,     // the socket has an event; the next call reports what it is
    timed_out, // the deadline passed first
    failed,    // poll itself failed
};

// Waits until `socket` has one of `events` (or an error or hang-up, which the
// following call then reports) or `deadline` passes.
WaitResult wait_for(const Socket& socket, short events, Deadline deadline) {
    about_to_block();
    for (;;) {
        pollfd entry{handle_of(socket), events, 0};
        int result = ::poll(&entry, 1, poll_timeout(deadline));
        if (result > 0)
            return WaitResult::ready;
        if (result < 0 && errno != EINTR)
            return WaitResult::failed;
        if (result == 0 && Clock::now() >= deadline)
            return WaitResult::timed_out;
    }
}

// How long a thread that owes a successor waits for its client's request
// before it watches the listener too.
constexpr auto request_grace = std::chrono::microseconds(200);

// Waits until `socket` has bytes to read, like wait_for. A thread that owes a
// waiting connection a successor (see common/blocking.h) watches the listener
// too, and sets the successor going only when a connection arrives first: a
// client whose request is a moment behind its connection then costs no
// hand-off between threads.
WaitResult wait_readable(const Socket& socket, Deadline deadline) {
    int listener = static_cast<int>(blocking_hook_listener());
    if (listener < 0)
        return wait_for(socket, POLLIN, deadline);
    // A client's request usually follows its connection within a few tens of
    // microseconds: for that long the listener is not watched, so that a
    // connection arriving meanwhile costs no hand-off either. It waits at most
    // that long to be taken, about what starting a thread would take.
    {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min<Clock::duration>(deadline - Clock::now(), request_grace));
        timespec timeout{0, std::max<long>(0, static_cast<long>(left.count()))};
        pollfd entry{handle_of(socket), POLLIN, 0};
        if (::ppoll(&entry, 1, &timeout, nullptr) > 0)
            return WaitResult::ready;
    }
    for (;;) {
        pollfd entries[2] = {{handle_of(socket), POLLIN, 0}, {listener, POLLIN, 0}};
        int result = ::poll(entries, 2, poll_timeout(deadline));
        if (result > 0) {
            if (entries[1].revents == 0)
                return WaitResult::ready;
            about_to_block();
            if (entries[0].revents != 0)
                return WaitResult::ready;
            return wait_for(socket, POLLIN, deadline);
        }
        if (result < 0 && errno != EINTR)
            return WaitResult::failed;
        if (result == 0 && Clock::now() >= deadline)
            return WaitResult::timed_out;
    }
}

} // namespace

void Socket::close() {
    if (valid())
        (void)::close(static_cast<int>(release()));
}

// The POSIX socket layer needs no start and no end.
int start_sockets() {
    return 0;
}
void stop_sockets() {}

bool get_host_name(std::span<char> name) {
    if (name.empty() || ::gethostname(name.data(), name.size()) != 0)
        return false;
    // A cut name need not be terminated.
    return std::memchr(name.data(), '\0', name.size()) != nullptr;
}

Socket open_tcp_socket() {
    // Close-on-exec keeps the socket out of CGI children, which would otherwise
    // hold connections open after the server has closed them. Sends use
    // MSG_NOSIGNAL, so a closed peer never raises SIGPIPE. Non-blocking, so
    // that accepting tries first and waits only when nothing is pending.
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

bool bind_any(Socket& socket, std::uint16_t port) {
    // SO_REUSEADDR lets a restarted server bind while connections of the
    // previous run linger in TIME_WAIT. On Linux it never allows binding over a
    // socket that is listening, so another program on the port still makes
    // the bind fail.
    int on = 1;
    (void)::setsockopt(handle_of(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(handle_of(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
           0;
}

bool listen_on(Socket& socket, int backlog) {
    return ::listen(handle_of(socket), backlog) == 0;
}

std::uint16_t local_port(const Socket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return 0;
    return ntohs(address.sin_port);
}

Accepted accept_connection(Socket& listener, Deadline deadline) {
    Accepted accepted;
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        // Under load a connection is usually pending already: taking it at once
        // saves the wait's system call.
        int handle = ::accept4(handle_of(listener), reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle >= 0) {
            accepted.socket = Socket(handle);
            accepted.peer_address = peer.sin_addr.s_addr; // already in network order
            return accepted;
        }
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            switch (wait_for(listener, POLLIN, deadline)) {
            case WaitResult::ready:
                continue;
            case WaitResult::timed_out:
                accepted.error = error_timed_out;
                return accepted;
            case WaitResult::failed:
                accepted.error = socket_error_number(errno);
                return accepted;
            }
        }
        // EINVAL: the listener was shut down by wake_listener, which leaves it
        // failing for good. ECONNABORTED: the peer went away before it was
        // taken. Both mean "no connection, ask again".
        if (error == EINVAL || error == ECONNABORTED || error == EINTR)
            accepted.error = error_would_block;
        else
            accepted.error = socket_error_number(error);
        return accepted;
    }
}

void wake_listener(Socket& listener) {
    // Shutting a listening socket down wakes every poll() on it and leaves it
    // readable, while accept() fails from then on: the kernel keeps that state
    // for us, so later accepts fail at once without a flag of our own.
    (void)::shutdown(handle_of(listener), SHUT_RDWR);
}

int receive(Socket& socket, std::span<char> buffer, Deadline deadline) {
    std::size_t wanted = buffer.size() > INT_MAX ? INT_MAX : buffer.size();
    for (;;) {
        ssize_t count = ::recv(handle_of(socket), buffer.data(), wanted, MSG_DONTWAIT);
        if (count >= 0)
            return static_cast<int>(count);
        int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return -socket_error_number(error);
        switch (wait_readable(socket, deadline)) {
        case WaitResult::ready:
            continue;
        case WaitResult::timed_out:
            return -error_timed_out;
        case WaitResult::failed:
            return -socket_error_number(errno);
        }
    }
}

int send_all(Socket& socket, std::span<const char> bytes, Deadline deadline, MoreFollows more) {
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more == MoreFollows::yes ? MSG_MORE : 0);
    std::size_t sent = 0;
    // A connection takes what fits into its send buffer; the rest waits until
    // the peer has read enough, never longer than the deadline.
    do {
        ssize_t count = ::send(handle_of(socket), bytes.data() + sent, bytes.size() - sent, flags);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count == 0) {
            if (sent == bytes.size())
                return 0;
            return -1; // a stream socket that takes nothing of a non-empty piece
        }
        int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return -1;
        if (wait_for(socket, POLLOUT, deadline) != WaitResult::ready)
            return -1;
    } while (sent < bytes.size());
    return 0;
}

void shutdown_send(Socket& socket) {
    (void)::shutdown(handle_of(socket), SHUT_WR);
}

void shutdown_both(Socket& socket) {
    (void)::shutdown(handle_of(socket), SHUT_RDWR);
}

} // namespace platform
