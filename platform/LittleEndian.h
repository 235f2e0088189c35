#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <string>

namespace platform {

// Every binary file of the program stores its numbers least significant byte
// first, whatever the byte order of the machine that runs it: a store or a
// table written here must read the same on any other machine. The coding is
// spelled out byte by byte rather than copied from memory, so it holds on a
// big-endian machine too and needs no alignment.
//
// The pointers name at least 2 (16-bit) or 4 (32-bit) bytes; bounds are the
// caller's to check. A float travels as its IEEE 754 bit pattern, NaNs and
// all, so whatever a file holds comes back bit for bit.

template <typename Byte>
concept CodingByte = std::same_as<Byte, char> || std::same_as<Byte, unsigned char>;

template <CodingByte Byte>
constexpr std::uint16_t getLe16(const Byte* bytes) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[0]) |
                                      static_cast<unsigned char>(bytes[1]) << 8);
}

template <CodingByte Byte>
constexpr std::uint32_t getLe32(const Byte* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

template <CodingByte Byte>
constexpr std::int32_t getLeInt32(const Byte* bytes) {
    return static_cast<std::int32_t>(getLe32(bytes));
}

template <CodingByte Byte>
constexpr float getLeFloat(const Byte* bytes) {
    return std::bit_cast<float>(getLe32(bytes));
}

template <CodingByte Byte>
constexpr void putLe16(Byte* out, std::uint16_t value) {
    out[0] = static_cast<Byte>(value & 0xFFu);
    out[1] = static_cast<Byte>(value >> 8);
}

template <CodingByte Byte>
constexpr void putLe32(Byte* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<Byte>(value >> (8 * i) & 0xFFu);
    }
}

template <CodingByte Byte>
constexpr void putLeInt32(Byte* out, std::int32_t value) {
    putLe32(out, static_cast<std::uint32_t>(value));
}

template <CodingByte Byte>
constexpr void putLeFloat(Byte* out, float value) {
    putLe32(out, std::bit_cast<std::uint32_t>(value));
}

// The four bytes of `value` added to the end of a file image being built.
inline void appendLe32(std::string& out, std::uint32_t value) {
    char bytes[4];
    putLe32(bytes, value);
    out.append(bytes, sizeof bytes);
}

}  // namespace platform
