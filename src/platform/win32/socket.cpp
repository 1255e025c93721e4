#include "platform/socket.h"

#include "common/blocking.h"

#include "platform/win32/handle_inheritance.h"
#include "platform/win32/wait_time.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

namespace platform {

namespace {

SOCKET handle_of(const Socket& socket) {
    return static_cast<SOCKET>(socket.get());
}

// What one socket is waited on with. `network` is tied to the socket's
// readiness once, on the first wait; `woken` is set for good once the socket
// has been shut down (or the listener woken), so that a thread waiting on the
// socket wakes and every later wait ends at once: a shutdown alone does not
// wake a waiting thread on every version of Windows. A connection's end is
// reported once only, so it is kept here with its error number.
struct SocketEvents {
    SocketEvents()
        : network(::WSACreateEvent()), woken(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~SocketEvents() {
        if (network != WSA_INVALID_EVENT)
            ::WSACloseEvent(network);
        if (woken)
            ::CloseHandle(woken);
    }
    SocketEvents(const SocketEvents&) = delete;
    SocketEvents& operator=(const SocketEvents&) = delete;

    bool valid() const { return network != WSA_INVALID_EVENT && woken != nullptr; }

    WSAEVENT network;
    HANDLE woken;
    std::mutex lock;
    bool selected = false;
    bool closed = false;
    int close_error = 0;
};

std::mutex events_lock;
std::map<SOCKET, std::shared_ptr<SocketEvents>>& events_table() {
    static std::map<SOCKET, std::shared_ptr<SocketEvents>> table;
    return table;
}

// The events of `socket`, made on first use. Nothing when they cannot be made.
std::shared_ptr<SocketEvents> events_of(SOCKET socket) {
    std::lock_guard lock(events_lock);
    auto& table = events_table();
    auto found = table.find(socket);
    if (found != table.end())
        return found->second;
    auto events = std::make_shared<SocketEvents>();
    if (!events->valid())
        return nullptr;
    table.emplace(socket, events);
    return events;
}

// Called as the socket closes, before its number can be given to another.
void forget_events(SOCKET socket) {
    std::lock_guard lock(events_lock);
    events_table().erase(socket);
}

void mark_woken(SOCKET socket) {
    if (auto events = events_of(socket))
        ::SetEvent(events->woken);
}

bool is_woken(SocketEvents& events) {
    return ::WaitForSingleObject(events.woken, 0) == WAIT_OBJECT_0;
}

// Takes what the system has recorded for the socket since the last look, and
// keeps the end of the connection with its error number (a reset is 10054).
void take_recorded(SOCKET socket, SocketEvents& events) {
    WSANETWORKEVENTS recorded{};
    std::lock_guard lock(events.lock);
    if (::WSAEnumNetworkEvents(socket, events.network, &recorded) != 0)
        return;
    if ((recorded.lNetworkEvents & FD_CLOSE) != 0 && !events.closed) {
        events.closed = true;
        events.close_error = recorded.iErrorCode[FD_CLOSE_BIT];
    }
}

enum class WaitResult {
    ready,     // something was recorded; the next call tells what
    timed_out, // the deadline passed first
    woken,     // the socket was shut down or the listener woken
    failed,    // the wait itself failed
};

// Waits until the system records something for `socket` or `deadline`
// passes. The calls that take a connection, receive or send re-arm their
// event when they would block, so every wait follows such a call and misses
// nothing; an event of another kind only costs one more round. The first wait
// only ties the event to the socket and asks the caller to try once more: what
// happened before the tie is not recorded on every version of the system.
WaitResult wait_for(SOCKET socket, SocketEvents& events, long kinds, Deadline deadline) {
    {
        std::lock_guard lock(events.lock);
        if (!events.selected) {
            if (::WSAEventSelect(socket, events.network, kinds | FD_CLOSE) != 0)
                return WaitResult::failed;
            events.selected = true;
            return WaitResult::ready;
        }
    }
    about_to_block();
    for (;;) {
        HANDLE watched[2] = {events.woken, events.network};
        DWORD result =
            ::WaitForMultipleObjects(2, watched, FALSE, win32::milliseconds_until(deadline));
        if (result == WAIT_OBJECT_0)
            return WaitResult::woken;
        if (result == WAIT_OBJECT_0 + 1) {
            take_recorded(socket, events);
            return WaitResult::ready;
        }
        if (result != WAIT_TIMEOUT)
            return WaitResult::failed;
        if (Clock::now() >= deadline)
            return WaitResult::timed_out;
    }
}

bool make_non_blocking(SOCKET socket) {
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Sockets are inheritable unless told otherwise; a CGI child holding a copy of
// a connection would keep it open after the server has closed it.
void keep_from_children(SOCKET socket) {
    (void)::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

std::atomic<bool> sockets_started{false};

} // namespace

void Socket::close() {
    if (!valid())
        return;
    auto socket = static_cast<SOCKET>(release());
    forget_events(socket);
    (void)::closesocket(socket);
}

int start_sockets() {
    WSADATA data{};
    if (::WSAStartup(0x0202, &data) != 0)
        return -1;
    sockets_started = true;
    return 0;
}

void stop_sockets() {
    if (sockets_started.exchange(false))
        (void)::WSACleanup();
}

bool get_host_name(std::span<char> name) {
    if (name.empty())
        return false;
    int size = name.size() > INT_MAX ? INT_MAX : static_cast<int>(name.size());
    if (::gethostname(name.data(), size) != 0)
        return false;
    return std::memchr(name.data(), '\0', name.size()) != nullptr;
}

Socket open_tcp_socket() {
    std::lock_guard lock(win32::handle_inheritance_lock());
    SOCKET socket = ::WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET)
        return {};
    keep_from_children(socket);
    return Socket(static_cast<std::intptr_t>(socket));
}

bool bind_any(Socket& socket, std::uint16_t port) {
    // Nobody else may bind the port beside us, not even with SO_REUSEADDR.
    BOOL on = TRUE;
    (void)::setsockopt(handle_of(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                       reinterpret_cast<const char*>(&on), sizeof on);
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
    int length = sizeof address;
    if (::getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return 0;
    return ntohs(address.sin_port);
}

Accepted accept_connection(Socket& listener, Deadline deadline) {
    Accepted accepted;
    SOCKET socket = handle_of(listener);
    auto events = events_of(socket);
    if (!events) {
        accepted.error = error_connection_aborted;
        return accepted;
    }
    if (is_woken(*events)) {
        accepted.error = error_would_block;
        return accepted;
    }
    switch (wait_for(socket, *events, FD_ACCEPT, deadline)) {
    case WaitResult::ready:
        break;
    case WaitResult::timed_out:
        accepted.error = error_timed_out;
        return accepted;
    case WaitResult::woken:
        accepted.error = error_would_block;
        return accepted;
    case WaitResult::failed:
        accepted.error = error_connection_aborted;
        return accepted;
    }
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET connection;
    {
        // An accepted socket is inheritable until it is told otherwise.
        std::lock_guard lock(win32::handle_inheritance_lock());
        connection = ::accept(socket, reinterpret_cast<sockaddr*>(&peer), &length);
        if (connection != INVALID_SOCKET)
            keep_from_children(connection);
    }
    if (connection == INVALID_SOCKET) {
        int error = ::WSAGetLastError();
        // The connection went away before it was taken: ask again.
        if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAEINTR)
            accepted.error = error_would_block;
        else
            accepted.error = error;
        return accepted;
    }
    accepted.socket = Socket(static_cast<std::intptr_t>(connection));
    // The accepted socket takes over the listener's event selection; it is
    // waited on with its own.
    (void)::WSAEventSelect(connection, nullptr, 0);
    (void)make_non_blocking(connection);
    accepted.peer_address = peer.sin_addr.s_addr; // already in network order
    return accepted;
}

void wake_listener(Socket& listener) {
    mark_woken(handle_of(listener));
}

int receive(Socket& socket, std::span<char> buffer, Deadline deadline) {
    SOCKET handle = handle_of(socket);
    auto events = events_of(handle);
    if (!events)
        return -error_connection_aborted;
    int wanted = buffer.size() > INT_MAX ? INT_MAX : static_cast<int>(buffer.size());
    for (;;) {
        int count = ::recv(handle, buffer.data(), wanted, 0);
        if (count > 0)
            return count;
        int error = count == 0 ? 0 : ::WSAGetLastError();
        if (error != 0 && error != WSAEWOULDBLOCK)
            return -error;
        // An end without an error number, or one that the system reported as
        // a recorded event only: a reset peer is told from a closed one here.
        take_recorded(handle, *events);
        if (count == 0 || events->closed)
            return -events->close_error;
        switch (wait_for(handle, *events, FD_READ | FD_WRITE, deadline)) {
        case WaitResult::ready:
            continue;
        case WaitResult::timed_out:
            return -error_timed_out;
        case WaitResult::woken:
        case WaitResult::failed:
            return -error_connection_aborted;
        }
    }
}

// Winsock has no way to hold bytes for what follows; `more` changes nothing.
int send_all(Socket& socket, std::span<const char> bytes, Deadline deadline, MoreFollows) {
    SOCKET handle = handle_of(socket);
    auto events = events_of(handle);
    if (!events)
        return -1;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        std::size_t left = bytes.size() - sent;
        int piece = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        int count = ::send(handle, bytes.data() + sent, piece, 0);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
        if (wait_for(handle, *events, FD_READ | FD_WRITE, deadline) != WaitResult::ready)
            return -1;
    }
    return 0;
}

void shutdown_send(Socket& socket) {
    (void)::shutdown(handle_of(socket), SD_SEND);
}

void shutdown_both(Socket& socket) {
    (void)::shutdown(handle_of(socket), SD_BOTH);
    mark_woken(handle_of(socket));
}

} // namespace platform
