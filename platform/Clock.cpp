#include "platform/Clock.h"

#include <atomic>
#include <ctime>

namespace platform {

namespace {
constexpr std::int64_t kNotFixed = INT64_MIN;
std::atomic<std::int64_t> fixedTime{kNotFixed};
}  // namespace

std::int64_t secondsSince1970() {
    const std::int64_t fixed = fixedTime.load(std::memory_order_relaxed);
    if (fixed != kNotFixed) {
        return fixed;
    }
    return static_cast<std::int64_t>(std::time(nullptr));
}

LocalTime localTimeAt(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    LocalTime result;
    if (localtime_r(&t, &parts) == nullptr) {
        return result;
    }
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    result.weekday = parts.tm_wday;
    return result;
}

LocalTime localTime() {
    return localTimeAt(secondsSince1970());
}

void setFixedTime(std::optional<std::int64_t> seconds) {
    fixedTime.store(seconds.value_or(kNotFixed), std::memory_order_relaxed);
}

}  // namespace platform
