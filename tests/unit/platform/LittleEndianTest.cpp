#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>

#include "platform/LittleEndian.h"

// Writing and reading back alone would pass with either byte order; the bytes
// are pinned here because the files must also read on other machines.

namespace {

constexpr std::array<unsigned char, 4> encoded(std::uint32_t value) {
    std::array<unsigned char, 4> bytes{};
    platform::putLe32(bytes.data(), value);
    return bytes;
}

static_assert(encoded(0x12345678u) == std::array<unsigned char, 4>{0x78, 0x56, 0x34, 0x12});
static_assert(platform::getLe32("\x01\x02\x03\x04") == 0x04030201u);

}  // namespace

TEST(LittleEndianTest, LeastSignificantByteComesFirst) {
    char bytes[4];
    platform::putLe32(bytes, 0xA1B2C3D4u);
    EXPECT_EQ(std::string(bytes, 4), "\xD4\xC3\xB2\xA1");
    EXPECT_EQ(platform::getLe32("\xD4\xC3\xB2\xA1"), 0xA1B2C3D4u);

    platform::putLe16(bytes, 2006);
    EXPECT_EQ(std::string(bytes, 2), "\xD6\x07");
    EXPECT_EQ(platform::getLe16("\xD6\x07"), 2006);

    std::string image = "x";
    platform::appendLe32(image, 22);
    EXPECT_EQ(image, std::string("x\x16\0\0\0", 5));
}

TEST(LittleEndianTest, SignedValuesUseTwosComplement) {
    char bytes[4];
    platform::putLeInt32(bytes, -1);
    EXPECT_EQ(std::string(bytes, 4), "\xFF\xFF\xFF\xFF");
    platform::putLeInt32(bytes, -2);
    EXPECT_EQ(std::string(bytes, 4), "\xFE\xFF\xFF\xFF");
    EXPECT_EQ(platform::getLeInt32("\xFE\xFF\xFF\xFF"), -2);
    EXPECT_EQ(platform::getLeInt32("\x00\x00\x00\x80"), INT32_MIN);
}

TEST(LittleEndianTest, FloatsTravelAsTheirBitPattern) {
    unsigned char bytes[4];
    platform::putLeFloat(bytes, 0.5f);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), std::string("\0\0\0\x3F", 4));
    EXPECT_EQ(platform::getLeFloat(bytes), 0.5f);
    EXPECT_TRUE(std::isnan(platform::getLeFloat("\x01\x00\xC0\x7F")));
    platform::putLeFloat(bytes, platform::getLeFloat("\x01\x00\xC0\x7F"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), std::string("\x01\0\xC0\x7F", 4));
}
