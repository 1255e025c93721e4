#pragma once

#include "dispatch/connection_ticket.h"

#include <array>
#include <cstdint>

// Process-wide values of the dispatch. `host_name` is written once before the
// first accept worker starts and only read afterwards.
inline constexpr std::size_t host_name_size = 80; // 79 bytes and the terminator
const std::array<char, host_name_size>& host_name();

// Sets `free_slots`; called once by the main routine before the listener starts.
void set_free_slots(std::int32_t slots);

// Opens the listening socket on HTTPPORT and runs the accept chain, each
// connection served by `handler`. Never returns once listening; returns -1 when
// the socket layer cannot start, -2 when no socket can be made, -3 when the bind
// fails, -4 when the listen fails, after printing the failure's console text.
int start_listener(ConnectionHandler handler);

// Closes the listening socket, if any, and ends the use of the socket layer.
// Returns 1.
int stop_listener();
