#include "ui/AnimSetting.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "platform/Files.h"

namespace {
constexpr std::uint32_t kAnimate = 1;
}  // namespace

bool AnimSetting::read(const std::string& fileName) {
    const platform::SmallFile file = platform::readSmallFile(fileName, 4);
    if (file.status != platform::OwnFile::Status::Open) {
        return false;
    }
    // Bytes a short file does not hold stay 0.
    std::array<unsigned char, 4> bytes{};
    std::copy(file.bytes.begin(), file.bytes.end(), bytes.begin());
    const std::uint32_t value = bytes[0] | (std::uint32_t{bytes[1]} << 8) |
                                (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
    return value == kAnimate;
}

bool AnimSetting::write(bool animate, const std::string& fileName) {
    const char bytes[4] = {animate ? '\x01' : '\x00', '\x00', '\x00', '\x00'};
    return platform::replaceFileContents(fileName, std::string_view(bytes, sizeof bytes));
}
