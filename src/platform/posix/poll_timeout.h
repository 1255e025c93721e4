#pragma once

#include "common/deadline.h"

#include <chrono>
#include <climits>

namespace platform {

// Milliseconds left until `deadline`, for poll(): -1 waits without a limit, 0
// when it has passed. Rounded up, so that a wait never ends just short of the
// deadline and spins.
inline int poll_timeout(Deadline deadline) {
    if (deadline == no_deadline)
        return -1;
    auto now = Clock::now();
    if (deadline <= now)
        return 0;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

} // namespace platform
