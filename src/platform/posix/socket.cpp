// FIXME: stub until this piece is built.
#include "platform/socket.h"

namespace platform {
Socket& Socket::operator=(Socket&& other) noexcept { if (this != &other) { close(); handle_ = other.release(); } return *this; }
std::intptr_t Socket::release() { auto h = handle_; handle_ = invalid_handle; return h; }
void Socket::close() { handle_ = invalid_handle; }
int start_sockets() { return 0; }
void stop_sockets() {}
bool get_host_name(std::span<char>) { return false; }
Socket open_tcp_socket() { return {}; }
bool bind_any(Socket&, std::uint16_t) { return false; }
bool listen_on(Socket&, int) { return false; }
std::uint16_t local_port(const Socket&) { return 0; }
Accepted accept_connection(Socket&, Deadline) { return {}; }
void wake_listener(Socket&) {}
int receive(Socket&, std::span<char>, Deadline) { return 0; }
int send_all(Socket&, std::span<const char>, Deadline) { return -1; }
void shutdown_send(Socket&) {}
void shutdown_both(Socket&) {}
} // namespace platform
