#include <chrono>
#include <cstdio>

#include "ledger/ledger.h"

// The parts of the ledger that need no database.
namespace ledger {

const char* StateName(State state) {
    switch (state) {
        case State::kCurrent:
            return "current";
        case State::kOutdated:
            return "outdated";
        case State::kIncomplete:
            return "incomplete";
        case State::kUnknown:
            break;
    }
    return "unknown";
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string FormatUtc(std::int64_t ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> time{milliseconds(ms)};
    const auto day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::optional<std::int64_t> ParseUtc(const std::string& text) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u%n", &year, &month, &day, &used) != 3 || used != 10) {
        return std::nullopt;
    }
    std::string rest = text.substr(10);
    if (!rest.empty() && rest.back() == 'Z') {
        rest.pop_back();
    }
    if (!rest.empty()) {
        if (rest[0] != 'T' && rest[0] != ' ') {
            return std::nullopt;
        }
        int timeUsed = 0;
        const int fields = std::sscanf(rest.c_str() + 1, "%2d:%2d%n:%2d%n", &hour, &minute,
                                       &timeUsed, &second, &timeUsed);
        if (fields < 2 || static_cast<std::size_t>(timeUsed) + 1 != rest.size() || hour > 23 ||
            minute > 59 || second > 60 || hour < 0 || minute < 0 || second < 0) {
            return std::nullopt;
        }
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(month),
                              std::chrono::day(day)};
    if (!date.ok()) {
        return std::nullopt;
    }
    const auto time = sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
    return duration_cast<milliseconds>(time.time_since_epoch()).count();
}

}  // namespace ledger
