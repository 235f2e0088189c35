#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// Turns a message text into word windows: the last three words, slid one word
// at a time. The table build and the classifier both see a message only
// through these windows, so both go through the one routine here; two loops
// that drifted apart by a single byte would leave trained tokens unfindable.

inline constexpr std::size_t kMaxWordLength = 40;

// Letters, digits, the token punctuation and the accented Windows-1252 bytes.
constexpr bool isTokenChar(unsigned char byte) {
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9')) {
        return true;
    }
    for (const char c : std::string_view("?!.,%&@+-_:;$*#")) {
        if (byte == static_cast<unsigned char>(c)) {
            return true;
        }
    }
    if (byte >= 0xC0) {
        return true;
    }
    return byte == 0x8A || byte == 0x8E || byte == 0x9A || byte == 0x9E || byte == 0x9F ||
           byte == 0xA6 || byte == 0xA9 || byte == 0xAE;
}

// Windows-1252 accented letters to their plain lower-case letter; every other
// byte, the U-accents among them, comes back as it was.
constexpr unsigned char foldAccent(unsigned char byte) {
    if ((byte >= 0xC0 && byte <= 0xC5) || (byte >= 0xE0 && byte <= 0xE5)) {
        return 'a';
    }
    if (byte == 0xC7 || byte == 0xE7) {
        return 'c';
    }
    if (byte == 0xD0) {
        return 'd';
    }
    if ((byte >= 0xC8 && byte <= 0xCB) || (byte >= 0xE8 && byte <= 0xEB)) {
        return 'e';
    }
    if ((byte >= 0xCC && byte <= 0xCF) || (byte >= 0xEC && byte <= 0xEF)) {
        return 'i';
    }
    if (byte == 0xD1 || byte == 0xF1) {
        return 'n';
    }
    if ((byte >= 0xD2 && byte <= 0xD6) || byte == 0xD8 || (byte >= 0xF2 && byte <= 0xF6) ||
        byte == 0xF8) {
        return 'o';
    }
    if (byte == 0x8A || byte == 0x9A) {
        return 's';
    }
    if (byte == 0xD7) {
        return 'x';
    }
    if (byte == 0x9F || byte == 0xDD || byte == 0xFD || byte == 0xFF) {
        return 'y';
    }
    if (byte == 0x8E || byte == 0x9E) {
        return 'z';
    }
    return byte;
}

// Three consecutive words of a text. The views point into the tokenizer's own
// buffers and are valid only while the window handler runs.
struct WordWindow {
    std::string_view w1;
    std::string_view w2;
    std::string_view w3;
};

struct PhraseToken {
    std::string_view text;
    int order;
};

// The four phrase tokens of a window, in their fixed order: w1 (order 1),
// "w1 w2" (2), "w1 w3" (2), "w1 w2 w3" (3). The texts live in this object.
class PhraseTokens {
  public:
    static constexpr std::size_t kCount = 4;

    explicit PhraseTokens(const WordWindow& window);

    PhraseToken operator[](std::size_t i) const;
    std::array<PhraseToken, kCount> all() const;

  private:
    // "w1 w2 w3" holds tokens 1, 2 and 4 as prefixes; only "w1 w3" needs room of its own.
    std::array<char, 3 * kMaxWordLength + 2> m_full{};
    std::array<char, 2 * kMaxWordLength + 1> m_skip{};
    std::size_t m_w1 = 0;
    std::size_t m_w1w2 = 0;
    std::size_t m_w1w2w3 = 0;
    std::size_t m_w1w3 = 0;
};

namespace tokenizer_detail {

// The folded byte for every token character and 0 for every separator, so the
// tokenizer's inner loop asks one question per byte.
constexpr std::array<unsigned char, 256> makeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        table[static_cast<std::size_t>(b)] = isTokenChar(byte) ? foldAccent(byte) : 0;
    }
    return table;
}

inline constexpr std::array<unsigned char, 256> kFoldTable = makeFoldTable();

constexpr bool isAsciiLetter(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

}  // namespace tokenizer_detail

// Calls handler(const WordWindow&) once per complete window, in text order.
// The text ends at its first NUL byte, as the stored and retrieved texts do.
// The handler is a template parameter rather than a std::function because it
// runs for every window of every message the proxy rates.
template <class Handler>
void tokenize(std::string_view text, Handler&& handler) {
    using tokenizer_detail::kFoldTable;
    // Four word buffers used in turn: the window's three and the one the next
    // word is collected in, so a finished word joins the window without a copy.
    char words[4][kMaxWordLength];
    std::size_t lengths[4] = {0, 0, 0, 0};
    unsigned current = 0;
    std::size_t length = 0;
    int windowWords = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) {
            break;
        }
        const unsigned char folded = kFoldTable[byte];
        if (folded != 0 && length < kMaxWordLength) {
            if (length != 0 || tokenizer_detail::isAsciiLetter(folded)) {
                words[current][length++] = static_cast<char>(folded);
            }
            continue;
        }
        if (length == 0) {
            continue;
        }
        // A separator, or a byte arriving at a full word: either way it ends
        // the word and is itself dropped.
        lengths[current] = length;
        if (++windowWords == 3) {
            const unsigned first = (current + 2) & 3u;
            const unsigned second = (current + 3) & 3u;
            handler(WordWindow{std::string_view(words[first], lengths[first]),
                               std::string_view(words[second], lengths[second]),
                               std::string_view(words[current], lengths[current])});
            windowWords = 2;
        }
        current = (current + 1) & 3u;
        length = 0;
    }
}
