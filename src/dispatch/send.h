#pragma once

#include "dispatch/connection_ticket.h"

#include <span>
#include <string_view>

// The only ways anything is written to a client. Each piece is sent whole,
// waiting for the connection to take more after a partial send, until the
// connection's deadline. Return 0 when every byte went out, otherwise -1.
int send_text(ConnectionTicket& connection, std::string_view text);
int send_bytes(ConnectionTicket& connection, std::span<const char> bytes);
