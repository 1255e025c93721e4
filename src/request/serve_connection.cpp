// FIXME: stub until this piece is built.
#include "request/serve_connection.h"

void serve_connection(ConnectionTicket&) {}
