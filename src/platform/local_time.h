#pragma once

#include <cstdint>

namespace platform {

// Local wall-clock time, field for field as the platform reports it.
struct LocalTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;      // 1..12
    std::uint16_t dayOfWeek = 0;  // 0 = Sunday
    std::uint16_t day = 0;        // 1..31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// The local time now.
LocalTime GetLocalTime();

// Seconds since the epoch of a local calendar time (year, month, day, hour, minute, second),
// daylight saving determined by the C library, as mktime does. The last few seconds converted
// are remembered per thread, so a change of zone shows once they have made way for new ones.
std::int64_t LocalTimeToEpochSeconds(const LocalTime& time);

}  // namespace platform
