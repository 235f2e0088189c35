#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace proxy {

// The most a marking adds: the flag word (at most 20 characters) in front of
// two Subject values, or a new "Subject: " line of 9 + 20 + 2 bytes.
inline constexpr std::size_t kMaxMarkGrowth = 40;

// Puts the flag word directly in front of the value of the first and of the
// last Subject line, at the offsets the header parser found (just past
// "Subject: "). Offsets of 9 or less mean no such line; with neither line the
// text gets "Subject: " + word + CR LF as its new first line. The text is the
// first `length` bytes of `buffer` and is rewritten in place, followed by a 0
// byte when there is room. Returns the new length. Throws std::length_error,
// leaving the buffer as it was, when the result would not fit.
std::size_t addSpamToSubject(std::span<char> buffer, std::size_t length, std::string_view flagWord,
                             std::int32_t subjectOffset1, std::int32_t subjectOffset2);

}  // namespace proxy
