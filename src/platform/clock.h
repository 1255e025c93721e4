#pragma once

namespace platform {

struct LocalTime {
    int year = 0;
    int month = 0; // 1 to 12
    int day = 0;   // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The local wall-clock time, to the millisecond.
LocalTime local_time();

} // namespace platform
