#include "dispatch/send.h"

#include "platform/socket.h"

int send_bytes(ConnectionTicket& connection, std::span<const char> bytes,
               platform::MoreFollows more) {
    // A cancelled handler's client has already seen the connection closed, and
    // nothing may leave after the deadline at which the worker cancels it.
    if (connection.cancelled || Clock::now() >= connection.deadline)
        return -1;
    return platform::send_all(connection.socket, bytes, connection.deadline, more);
}

int send_text(ConnectionTicket& connection, std::string_view text, platform::MoreFollows more) {
    return send_bytes(connection, std::span<const char>(text.data(), text.size()), more);
}
