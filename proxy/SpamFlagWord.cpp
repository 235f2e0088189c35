#include "proxy/SpamFlagWord.h"

#include <cstdint>
#include <cstring>

#include "platform/Files.h"
#include "platform/LittleEndian.h"

namespace proxy {

namespace {
constexpr std::uint32_t kMinStored = kMinSpamFlagWord;
constexpr std::uint32_t kMaxStored = kMaxSpamFlagWord + 1;
}  // namespace

std::string readSpamFlagWord(const std::string& fileName) {
    const platform::SmallFile file = platform::readSmallFile(fileName, 4 + kMaxStored);
    const std::string& read = file.bytes;
    if (read.size() < 4) {
        return kDefaultSpamFlagWord;
    }
    const std::uint32_t stored = platform::getLe32(read.data());
    if (stored < kMinStored || stored > kMaxStored || read.size() < 4 + stored) {
        return kDefaultSpamFlagWord;
    }
    const char* bytes = read.data() + 4;
    // The word ends at its 0 byte, which must lie within the L bytes: without
    // it a length of 21 would hand on 21 characters, more than a flag word may
    // have and more than the marker leaves room for in a message.
    const std::size_t length = strnlen(bytes, stored);
    if (length == stored) {
        return kDefaultSpamFlagWord;
    }
    // A word cut short by an early 0 byte is as malformed as a wrong length.
    if (length < kMinSpamFlagWord) {
        return kDefaultSpamFlagWord;
    }
    return std::string(bytes, length);
}

bool writeSpamFlagWord(std::string_view word, const std::string& fileName) {
    if (word.size() < kMinSpamFlagWord || word.size() > kMaxSpamFlagWord) {
        return false;
    }
    const auto stored = static_cast<std::uint32_t>(word.size() + 1);
    std::string bytes;
    platform::appendLe32(bytes, stored);
    bytes.append(word);
    bytes.push_back('\0');
    return platform::replaceFileContents(fileName, bytes);
}

}  // namespace proxy
