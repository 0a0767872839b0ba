#include "platform/local_time.h"

#include <ctime>

// The C library's calendar arithmetic, the same on every system.
namespace platform {

std::int64_t LocalTimeToEpochSeconds(const LocalTime& time) {
    std::tm parts{};
    parts.tm_year = time.year - 1900;
    parts.tm_mon = time.month - 1;
    parts.tm_mday = time.day;
    parts.tm_hour = time.hour;
    parts.tm_min = time.minute;
    parts.tm_sec = time.second;
    parts.tm_isdst = -1;  // let the library decide
    return static_cast<std::int64_t>(std::mktime(&parts));
}

}  // namespace platform
