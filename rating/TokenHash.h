#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rating/Tokenizer.h"

// A token's identity: a 32-bit key and an 8-bit check over its text. Texts are
// never kept, which holds MapProb.bin at 9 bytes a token; two texts that agree
// on both hashes are one token, a collision the filter accepts.

inline constexpr std::uint32_t kTokenKeyMultiplier = 41;
inline constexpr std::uint32_t kTokenKeyModulus = 1610612741;  // 0x60000005
inline constexpr std::size_t kTokenCheckLength = 5;
inline constexpr unsigned kTokenCheckModulus = 251;

struct TokenId {
    std::uint32_t key;
    std::uint8_t check;
    std::uint8_t order;

    bool operator==(const TokenId&) const = default;
};

namespace token_hash_detail {

// The key's running value before the modulus: bytes count as signed, and the
// arithmetic wraps at 32 bits.
constexpr std::uint32_t rawKey(std::uint32_t h, std::string_view text) {
    for (const char c : text) {
        h = h * kTokenKeyMultiplier + static_cast<std::uint32_t>(static_cast<std::int8_t>(c));
    }
    return h;
}

constexpr std::array<std::uint32_t, kMaxWordLength + 1> makePowers() {
    std::array<std::uint32_t, kMaxWordLength + 1> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i < powers.size(); ++i) {
        powers[i] = powers[i - 1] * kTokenKeyMultiplier;
    }
    return powers;
}

// 41^n modulo 2^32, for appending an n-byte word to a running key.
inline constexpr std::array<std::uint32_t, kMaxWordLength + 1> kPowers = makePowers();

constexpr std::uint8_t checkStep(std::uint8_t a, char c) {
    return static_cast<std::uint8_t>(a * 5u + static_cast<unsigned char>(c));
}

constexpr std::string_view capped(std::string_view word) {
    return word.substr(0, std::min(word.size(), kMaxWordLength));
}

// Running check values over the first bytes of "a b c" (c may be empty and
// then is not appended): states[n] is the check state after n bytes.
struct CheckPrefix {
    std::array<std::uint8_t, kTokenCheckLength + 1> states{};
    std::size_t length = 0;

    constexpr void append(char c) {
        if (length < kTokenCheckLength) {
            states[length + 1] = checkStep(states[length], c);
            ++length;
        }
    }
    constexpr void append(std::string_view text) {
        for (std::size_t i = 0; i < text.size() && length < kTokenCheckLength; ++i) {
            append(text[i]);
        }
    }
    constexpr std::uint8_t checkAt(std::size_t textLength) const {
        return static_cast<std::uint8_t>(states[std::min(textLength, length)] % kTokenCheckModulus);
    }
};

}  // namespace token_hash_detail

constexpr std::uint32_t tokenKey(std::string_view text) {
    return token_hash_detail::rawKey(0, text) % kTokenKeyModulus;
}

constexpr std::uint8_t tokenCheck(std::string_view text) {
    std::uint8_t a = 0;
    for (std::size_t i = 0; i < text.size() && i < kTokenCheckLength; ++i) {
        a = token_hash_detail::checkStep(a, text[i]);
    }
    return static_cast<std::uint8_t>(a % kTokenCheckModulus);
}

constexpr TokenId tokenId(std::string_view text, std::uint8_t order) {
    return {tokenKey(text), tokenCheck(text), order};
}

namespace token_hash_detail {

// The four identities from the words' running keys.
inline std::array<TokenId, 4> idsFromWordKeys(std::string_view w1, std::string_view w2,
                                              std::string_view w3, std::uint32_t k1,
                                              std::uint32_t k2, std::uint32_t k3) {
    const std::uint32_t k1space = k1 * kTokenKeyMultiplier + ' ';
    const std::uint32_t k12 = k1space * kPowers[w2.size()] + k2;
    const std::uint32_t k13 = k1space * kPowers[w3.size()] + k3;
    const std::uint32_t k123 = (k12 * kTokenKeyMultiplier + ' ') * kPowers[w3.size()] + k3;

    CheckPrefix full;
    full.append(w1);
    std::uint8_t c1, c12, c13, c123;
    if (full.length == kTokenCheckLength) {
        c1 = c12 = c13 = c123 = full.checkAt(kTokenCheckLength);
    } else {
        CheckPrefix skip = full;
        c1 = full.checkAt(w1.size());
        full.append(' ');
        full.append(w2);
        c12 = full.checkAt(w1.size() + 1 + w2.size());
        full.append(' ');
        full.append(w3);
        c123 = full.checkAt(kTokenCheckLength);
        skip.append(' ');
        skip.append(w3);
        c13 = skip.checkAt(w1.size() + 1 + w3.size());
    }
    return {TokenId{k1 % kTokenKeyModulus, c1, 1}, TokenId{k12 % kTokenKeyModulus, c12, 2},
            TokenId{k13 % kTokenKeyModulus, c13, 2}, TokenId{k123 % kTokenKeyModulus, c123, 3}};
}

}  // namespace token_hash_detail

// The identities of a window's four phrase tokens, in PhraseTokens order, the
// same as hashing PhraseTokens' texts. Each word is hashed once and the joined
// keys are composed from the parts (key(a + b) = key(a) * 41^|b| + key(b)
// before the modulus), which spares building and re-reading every text.
inline std::array<TokenId, 4> phraseTokenIds(const WordWindow& window) {
    using namespace token_hash_detail;
    const std::string_view w1 = capped(window.w1);
    const std::string_view w2 = capped(window.w2);
    const std::string_view w3 = capped(window.w3);
    return idsFromWordKeys(w1, w2, w3, rawKey(0, w1), rawKey(0, w2), rawKey(0, w3));
}

// Tokenizes the text and calls handler(const std::array<TokenId, 4>&) with
// the identities of each window's phrase tokens, as phraseTokenIds gives them.
// Consecutive windows of a text share two words, so the words' keys are
// carried from one window to the next and every word is hashed only once.
template <class Handler>
void tokenizeToIds(std::string_view text, Handler&& handler) {
    using namespace token_hash_detail;
    std::uint32_t previousW2 = 0;
    std::uint32_t previousW3 = 0;
    bool first = true;
    tokenize(text, [&](const WordWindow& window) {
        const std::uint32_t k1 = first ? rawKey(0, window.w1) : previousW2;
        const std::uint32_t k2 = first ? rawKey(0, window.w2) : previousW3;
        const std::uint32_t k3 = rawKey(0, window.w3);
        first = false;
        previousW2 = k2;
        previousW3 = k3;
        handler(idsFromWordKeys(window.w1, window.w2, window.w3, k1, k2, k3));
    });
}
