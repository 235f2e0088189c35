#include "proxy/SpamFlagWord.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "platform/Files.h"

namespace proxy {

namespace {
constexpr std::uint32_t kMinStored = kMinSpamFlagWord;
constexpr std::uint32_t kMaxStored = kMaxSpamFlagWord + 1;
}  // namespace

std::string readSpamFlagWord(const std::string& fileName) {
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        return kDefaultSpamFlagWord;
    }
    std::array<unsigned char, 4> lengthBytes{};
    if (!file.read(reinterpret_cast<char*>(lengthBytes.data()), lengthBytes.size())) {
        return kDefaultSpamFlagWord;
    }
    const std::uint32_t stored = lengthBytes[0] | (std::uint32_t{lengthBytes[1]} << 8) |
                                 (std::uint32_t{lengthBytes[2]} << 16) |
                                 (std::uint32_t{lengthBytes[3]} << 24);
    if (stored < kMinStored || stored > kMaxStored) {
        return kDefaultSpamFlagWord;
    }
    std::array<char, kMaxStored> bytes{};
    if (!file.read(bytes.data(), stored)) {
        return kDefaultSpamFlagWord;
    }
    // The word ends at its 0 byte, which must lie within the L bytes: without
    // it a length of 21 would hand on 21 characters, more than a flag word may
    // have and more than the marker leaves room for in a message.
    const std::size_t length = strnlen(bytes.data(), stored);
    if (length == stored) {
        return kDefaultSpamFlagWord;
    }
    // A word cut short by an early 0 byte is as malformed as a wrong length.
    if (length < kMinSpamFlagWord) {
        return kDefaultSpamFlagWord;
    }
    return std::string(bytes.data(), length);
}

bool writeSpamFlagWord(std::string_view word, const std::string& fileName) {
    if (word.size() < kMinSpamFlagWord || word.size() > kMaxSpamFlagWord) {
        return false;
    }
    const auto stored = static_cast<std::uint32_t>(word.size() + 1);
    std::string bytes = {static_cast<char>(stored & 0xff), static_cast<char>((stored >> 8) & 0xff),
                         static_cast<char>((stored >> 16) & 0xff),
                         static_cast<char>((stored >> 24) & 0xff)};
    bytes.append(word);
    bytes.push_back('\0');
    return platform::replaceFileContents(fileName, bytes);
}

}  // namespace proxy
