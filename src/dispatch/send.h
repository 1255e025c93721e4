#pragma once

#include "dispatch/connection_ticket.h"

#include <span>
#include <string_view>

// The only ways anything is written to a client. Each piece is sent whole,
// waiting for the connection to take more after a partial send, until the
// connection's deadline. Return 0 when every byte went out, otherwise -1.
// `more` says that more of the reply follows at once (see platform::send_all).
int send_text(ConnectionTicket& connection, std::string_view text,
              platform::MoreFollows more = platform::MoreFollows::no);
int send_bytes(ConnectionTicket& connection, std::span<const char> bytes,
               platform::MoreFollows more = platform::MoreFollows::no);
