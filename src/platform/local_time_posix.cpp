#include "platform/local_time.h"

#include <ctime>

#include <sys/time.h>

namespace platform {

LocalTime GetLocalTime() {
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm parts{};
    const std::time_t seconds = now.tv_sec;
    localtime_r(&seconds, &parts);
    LocalTime result;
    result.year = static_cast<std::uint16_t>(parts.tm_year + 1900);
    result.month = static_cast<std::uint16_t>(parts.tm_mon + 1);
    result.dayOfWeek = static_cast<std::uint16_t>(parts.tm_wday);
    result.day = static_cast<std::uint16_t>(parts.tm_mday);
    result.hour = static_cast<std::uint16_t>(parts.tm_hour);
    result.minute = static_cast<std::uint16_t>(parts.tm_min);
    result.second = static_cast<std::uint16_t>(parts.tm_sec);
    result.milliseconds = static_cast<std::uint16_t>(now.tv_usec / 1000);
    return result;
}

}  // namespace platform
