// FIXME: stub until this piece is built.
#include "dispatch/send.h"

int send_text(ConnectionTicket&, std::string_view) { return -1; }
int send_bytes(ConnectionTicket&, std::span<const char>) { return -1; }
