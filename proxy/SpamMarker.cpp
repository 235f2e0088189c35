#include "proxy/SpamMarker.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace proxy {

namespace {
// An offset of 9 or less is "Subject: " at the very start or no line at all.
constexpr std::int32_t kNoSubject = 9;
}  // namespace

std::size_t addSpamToSubject(std::span<char> buffer, std::size_t length, std::string_view flagWord,
                             std::int32_t subjectOffset1, std::int32_t subjectOffset2) {
    if (length > buffer.size()) {
        throw std::length_error("text longer than its buffer");
    }
    const bool subjectExists = subjectOffset1 > kNoSubject || subjectOffset2 > kNoSubject;
    std::string marked;
    marked.reserve(length + 2 * flagWord.size() + 11);
    if (!subjectExists) {
        marked.append("Subject: ").append(flagWord).append("\r\n");
    }
    for (std::size_t copied = 0; copied < length;) {
        marked += buffer[copied];
        ++copied;
        const auto count = static_cast<std::int64_t>(copied);
        if (subjectExists && count > kNoSubject &&
            (count == subjectOffset1 || count == subjectOffset2)) {
            marked.append(flagWord);
        }
    }
    if (marked.size() > buffer.size()) {
        throw std::length_error("marked text does not fit its buffer");
    }
    std::copy(marked.begin(), marked.end(), buffer.begin());
    if (marked.size() < buffer.size()) {
        buffer[marked.size()] = '\0';
    }
    return marked.size();
}

}  // namespace proxy
