#include "analysis/StoredHeader.h"

EmailHeader storedHeader(const HeaderRecord& parsed, std::int32_t textLength,
                         std::int32_t delTime) {
    EmailHeader header;
    header.from = parsed.from;
    header.to = parsed.to;
    header.subject = parsed.subject;
    header.day = parsed.day;
    header.month = parsed.month;
    header.year = static_cast<std::uint16_t>(parsed.year);
    header.hour = parsed.hour;
    header.minute = parsed.minute;
    header.headerLength = parsed.headerLength;
    header.textLength = textLength;
    header.delTime = delTime;
    header.reserved = parsed.flag;
    return header;
}
