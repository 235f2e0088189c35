#pragma once

#include <compare>
#include <cstdint>
#include <string_view>

// The order of the header list's Date/Time column. The column shows the
// display date ("9 Mar 2006, 8:05"), which does not sort as text; it sorts by
// a date number (year, month, day) and then a time number (hour, minute).
struct DateSortKey {
    std::int64_t date = 0;
    std::int64_t time = 0;

    auto operator<=>(const DateSortKey&) const = default;
};

// Reads the runs of letters and digits of a display date as day, month name,
// year, hour and minute. The day and the minute take two digits each, so a
// 5th sorts before a 15th. An unknown month name counts as January; missing
// or unreadable numbers count as 0.
DateSortKey dateSortKey(std::string_view displayDate);
