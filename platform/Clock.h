#pragma once

#include <cstdint>
#include <optional>

namespace platform {

struct LocalTime {
    int year = 1970;  // four digits
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;
    int second = 0;
    int weekday = 4;  // 0 = Sunday
};

// Seconds since 1 January 1970 (UTC).
std::int64_t secondsSince1970();
// The local calendar time now, or of a given moment.
LocalTime localTime();
LocalTime localTimeAt(std::int64_t secondsSince1970);

// Tests pin the clock to a moment (or release it with nullopt) so that time
// stamps and schedules can be checked without waiting.
void setFixedTime(std::optional<std::int64_t> secondsSince1970);

}  // namespace platform
