#include "platform/clock.h"

#include <ctime>
#include <time.h>

namespace platform {

LocalTime local_time() {
    struct timespec now {};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    time_t seconds = now.tv_sec;
    if (::localtime_r(&seconds, &parts) == nullptr)
        return {};
    LocalTime time;
    time.year = parts.tm_year + 1900;
    time.month = parts.tm_mon + 1;
    time.day = parts.tm_mday;
    time.hour = parts.tm_hour;
    time.minute = parts.tm_min;
    time.second = parts.tm_sec;
    time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return time;
}

} // namespace platform
