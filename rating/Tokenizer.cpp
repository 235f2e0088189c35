#include "rating/Tokenizer.h"

#include <algorithm>

namespace {

// Copies at most one word's worth, so a window built by hand with longer
// "words" cannot run past the buffers.
std::size_t put(char* out, std::string_view word) {
    const std::size_t n = std::min(word.size(), kMaxWordLength);
    std::copy_n(word.data(), n, out);
    return n;
}

}  // namespace

PhraseTokens::PhraseTokens(const WordWindow& window) {
    char* full = m_full.data();
    m_w1 = put(full, window.w1);
    full[m_w1] = ' ';
    m_w1w2 = m_w1 + 1 + put(full + m_w1 + 1, window.w2);
    full[m_w1w2] = ' ';
    m_w1w2w3 = m_w1w2 + 1 + put(full + m_w1w2 + 1, window.w3);

    char* skip = m_skip.data();
    std::copy_n(full, m_w1 + 1, skip);
    m_w1w3 = m_w1 + 1 + put(skip + m_w1 + 1, window.w3);
}

PhraseToken PhraseTokens::operator[](std::size_t i) const {
    switch (i) {
        case 0:
            return {std::string_view(m_full.data(), m_w1), 1};
        case 1:
            return {std::string_view(m_full.data(), m_w1w2), 2};
        case 2:
            return {std::string_view(m_skip.data(), m_w1w3), 2};
        default:
            return {std::string_view(m_full.data(), m_w1w2w3), 3};
    }
}

std::array<PhraseToken, PhraseTokens::kCount> PhraseTokens::all() const {
    return {(*this)[0], (*this)[1], (*this)[2], (*this)[3]};
}
