#pragma once

#include <string>
#include <string_view>

namespace proxy {

inline constexpr const char* kSpamFlagFile = "sFlag.bin";
inline constexpr const char* kDefaultSpamFlagWord = "*GLIMMERFENED!*";
inline constexpr std::size_t kMinSpamFlagWord = 2;
inline constexpr std::size_t kMaxSpamFlagWord = 20;

// The spam flag word from "sFlag.bin": a 32-bit little-endian L (the word's
// length plus one, 2 to 21), then the word and a 0 byte. The word ends at the
// first 0 byte within the L bytes. A missing, short or malformed file (one
// without a 0 byte in the L bytes among them) gives the default word.
std::string readSpamFlagWord(const std::string& fileName = kSpamFlagFile);

// Saves a word of 2 to 20 characters; false, writing nothing, for any other
// length or when the file cannot be written. The bytes go to a temporary file
// that is renamed over the old one, so a failed save keeps the old word.
bool writeSpamFlagWord(std::string_view word, const std::string& fileName = kSpamFlagFile);

}  // namespace proxy
