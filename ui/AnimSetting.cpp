#include "ui/AnimSetting.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "platform/Files.h"
#include "platform/LittleEndian.h"

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
    return platform::getLe32(bytes.data()) == kAnimate;
}

bool AnimSetting::write(bool animate, const std::string& fileName) {
    char bytes[4];
    platform::putLe32(bytes, animate ? kAnimate : 0);
    return platform::replaceFileContents(fileName, std::string_view(bytes, sizeof bytes));
}
