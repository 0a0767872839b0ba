#include "platform/local_time.h"

#include <array>
#include <cstddef>
#include <ctime>

// The C library's calendar arithmetic, the same on every system.
namespace platform {

namespace {

// mktime reads the zone anew on every call (a look-up of /etc/localtime each time), and a fleet
// upload asks for the same few seconds tens of thousands of times a second: the last seconds
// converted are kept, so each is asked of the library once.
struct ConvertedSecond {
    LocalTime time;
    std::int64_t epochSeconds = 0;
    bool valid = false;
};

bool SameSecond(const LocalTime& a, const LocalTime& b) {
    return a.second == b.second && a.minute == b.minute && a.hour == b.hour && a.day == b.day &&
           a.month == b.month && a.year == b.year;
}

}  // namespace

std::int64_t LocalTimeToEpochSeconds(const LocalTime& time) {
    thread_local std::array<ConvertedSecond, 4> converted;
    thread_local std::size_t next = 0;
    for (const ConvertedSecond& entry : converted) {
        if (entry.valid && SameSecond(entry.time, time)) {
            return entry.epochSeconds;
        }
    }
    std::tm parts{};
    parts.tm_year = time.year - 1900;
    parts.tm_mon = time.month - 1;
    parts.tm_mday = time.day;
    parts.tm_hour = time.hour;
    parts.tm_min = time.minute;
    parts.tm_sec = time.second;
    parts.tm_isdst = -1;  // let the library decide
    const auto seconds = static_cast<std::int64_t>(std::mktime(&parts));
    converted[next] = {time, seconds, true};
    next = (next + 1) % converted.size();
    return seconds;
}

}  // namespace platform
