#pragma once

#include "dispatch/connection_ticket.h"

// Handles the one request of an accepted connection. Never closes the
// connection: the accept worker does.
void serve_connection(ConnectionTicket& ticket);
