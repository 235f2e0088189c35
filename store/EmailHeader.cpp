#include "store/EmailHeader.h"

#include <algorithm>
#include <cstring>

#include "platform/LittleEndian.h"

namespace {
constexpr std::size_t kFromOffset = 0;
constexpr std::size_t kToOffset = 80;
constexpr std::size_t kSubjectOffset = 160;
constexpr std::size_t kAddressSize = 80;
constexpr std::size_t kSubjectSize = 120;
constexpr std::size_t kDayOffset = 280;
constexpr std::size_t kMonthOffset = 281;
constexpr std::size_t kYearOffset = 282;
constexpr std::size_t kHourOffset = 284;
constexpr std::size_t kMinuteOffset = 285;
constexpr std::size_t kHeaderLengthOffset = 286;
constexpr std::size_t kTextLengthOffset = 290;
constexpr std::size_t kDelTimeOffset = 294;
constexpr std::size_t kReservedOffset = 298;
}  // namespace

std::string fixedText(const char* field, std::size_t size) {
    const void* nul = std::memchr(field, '\0', size - 1);
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size - 1;
    return std::string(field, length);
}

void putFixedText(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    const std::size_t length = std::min(std::strlen(text.c_str()), size - 1);
    std::memcpy(field, text.data(), length);
}

EmailHeaderBytes encodeEmailHeader(const EmailHeader& header) {
    EmailHeaderBytes bytes{};
    char* b = bytes.data();
    putFixedText(b + kFromOffset, kAddressSize, header.from);
    putFixedText(b + kToOffset, kAddressSize, header.to);
    putFixedText(b + kSubjectOffset, kSubjectSize, header.subject);
    b[kDayOffset] = static_cast<char>(header.day);
    b[kMonthOffset] = static_cast<char>(header.month);
    platform::putLe16(b + kYearOffset, header.year);
    b[kHourOffset] = static_cast<char>(header.hour);
    b[kMinuteOffset] = static_cast<char>(header.minute);
    platform::putLeInt32(b + kHeaderLengthOffset, header.headerLength);
    platform::putLeInt32(b + kTextLengthOffset, header.textLength);
    platform::putLeInt32(b + kDelTimeOffset, header.delTime);
    b[kReservedOffset] = static_cast<char>(header.reserved);
    return bytes;
}

EmailHeader decodeEmailHeader(const EmailHeaderBytes& bytes) {
    const char* b = bytes.data();
    EmailHeader header;
    header.from = fixedText(b + kFromOffset, kAddressSize);
    header.to = fixedText(b + kToOffset, kAddressSize);
    header.subject = fixedText(b + kSubjectOffset, kSubjectSize);
    header.day = static_cast<std::uint8_t>(b[kDayOffset]);
    header.month = static_cast<std::uint8_t>(b[kMonthOffset]);
    header.year = platform::getLe16(b + kYearOffset);
    header.hour = static_cast<std::uint8_t>(b[kHourOffset]);
    header.minute = static_cast<std::uint8_t>(b[kMinuteOffset]);
    header.headerLength = platform::getLeInt32(b + kHeaderLengthOffset);
    header.textLength = platform::getLeInt32(b + kTextLengthOffset);
    header.delTime = platform::getLeInt32(b + kDelTimeOffset);
    header.reserved = static_cast<std::uint8_t>(b[kReservedOffset]);
    return header;
}
