#pragma once

#include "common/deadline.h"
#include "logging/write_log.h"
#include "platform/socket.h"

#include <atomic>
#include <cstdint>
#include <optional>

// What an accept worker lends to its handler for the handler's whole run. The
// worker owns it and keeps it until the handler has ended.
struct ConnectionTicket {
    platform::Socket socket;        // the connection, non-blocking
    std::uint32_t peer_address = 0; // IPv4, network byte order
    std::int32_t free_slots_at_start = 0;
    // The moment the supervising worker cancels the handler. Every wait of the
    // handler is bounded by it.
    Deadline deadline = no_deadline;
    // Set by the worker when the handler is overdue; a cancelled handler sends
    // and logs nothing more.
    std::atomic<bool> cancelled{false};

    // Set by the handler. Whether it has already shut the connection down for
    // sending, and the access record it posted: the worker ends only once that
    // record is on disk.
    bool reply_ended = false;
    std::optional<LogRecordNumber> access_record;
};

// The routine an accept worker runs on a thread of its own for each connection.
using ConnectionHandler = void (*)(ConnectionTicket& ticket);
