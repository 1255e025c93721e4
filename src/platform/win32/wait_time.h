#pragma once

// Milliseconds for the Win32 wait functions until a deadline.

#include "common/deadline.h"

#include <chrono>
#include <cstdint>

namespace platform::win32 {

// The wait functions take 0xFFFFFFFF (INFINITE) as "no limit", so a finite
// wait is clamped well below it; it is rounded up, so that a wait never ends
// just short of the deadline and spins.
inline constexpr std::uint32_t no_time_limit = 0xFFFFFFFFu;
inline constexpr std::uint32_t longest_finite_wait = 0x7FFFFFFFu;

inline std::uint32_t milliseconds_until(Deadline deadline) {
    if (deadline == no_deadline)
        return no_time_limit;
    auto now = Clock::now();
    if (deadline <= now)
        return 0;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left > static_cast<std::int64_t>(longest_finite_wait) ? longest_finite_wait
                                                                 : static_cast<std::uint32_t>(left);
}

} // namespace platform::win32
