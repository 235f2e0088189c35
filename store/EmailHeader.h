#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "store/StoreLayout.h"

// The fixed part of a stored email. The texts are kept without their NUL
// padding; the file keeps at most 79 (From, To) and 119 (Subject) bytes of them.
struct EmailHeader {
    std::string from;
    std::string to;
    std::string subject;
    std::uint8_t day = 0;
    std::uint8_t month = 0;
    std::uint16_t year = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::int32_t headerLength = 0;
    std::int32_t textLength = 0;
    std::int32_t delTime = 0;
    std::uint8_t reserved = 0;

    bool operator==(const EmailHeader&) const = default;
};

using EmailHeaderBytes = std::array<char, store_layout::kEmailHeaderSize>;

// The 299 bytes of the header as the file holds them.
EmailHeaderBytes encodeEmailHeader(const EmailHeader& header);
EmailHeader decodeEmailHeader(const EmailHeaderBytes& bytes);

// Fixed-size text fields: at most size - 1 bytes up to the first NUL.
std::string fixedText(const char* field, std::size_t size);
void putFixedText(char* field, std::size_t size, const std::string& text);
