#include "store/HeaderRowFormat.h"

#include <cstdio>

#include "platform/MonthNames.h"

std::string displayDate(const EmailHeader& header) {
    const std::string month(platform::monthName(header.month));
    char text[64];
    std::snprintf(text, sizeof text, header.minute >= 10 ? "%d %s %d, %d:%d" : "%d %s %d, %d:0%d",
                  header.day, month.c_str(), header.year, header.hour, header.minute);
    return text;
}

HeaderRow makeHeaderRow(std::int32_t index, const EmailHeader& header) {
    return {header.from, header.subject,        displayDate(header),
            header.to,   std::to_string(index), std::to_string(header.delTime)};
}
