#pragma once

#include <chrono>
#include <cstdint>

// The moment by which a wait must end. Every wait of a connection's handler is
// bounded by the connection's deadline, so an overdue handler always wakes.
using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline constexpr Deadline no_deadline = Deadline::max();

// A deadline `milliseconds` from now, never overflowing.
inline Deadline deadline_after(std::int64_t milliseconds) {
    auto now = Clock::now();
    if (milliseconds < 0)
        milliseconds = 0;
    auto room = std::chrono::duration_cast<std::chrono::milliseconds>(no_deadline - now).count();
    if (milliseconds >= room)
        return no_deadline;
    return now + std::chrono::milliseconds(milliseconds);
}
