// Words, windows and phrase tokens: the rules both the build and the
// classifier depend on, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "rating/Tokenizer.h"

namespace {

using Window = std::array<std::string, 3>;

std::vector<Window> windowsOf(std::string_view text) {
    std::vector<Window> windows;
    tokenize(text, [&windows](const WordWindow& window) {
        windows.push_back({std::string(window.w1), std::string(window.w2), std::string(window.w3)});
    });
    return windows;
}

// The words of a text as the windows reveal them: the first word of every
// window, then the last window's other two.
std::vector<std::string> wordsOf(std::string_view text) {
    const std::vector<Window> windows = windowsOf(text);
    std::vector<std::string> words;
    for (const Window& window : windows) {
        words.push_back(window[0]);
    }
    if (!windows.empty()) {
        words.push_back(windows.back()[1]);
        words.push_back(windows.back()[2]);
    }
    return words;
}

std::string letters(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(static_cast<char>('a' + i % 26));
    }
    return text;
}

}  // namespace

TEST(TokenCharTest, ClassesCoverExactlyTheTokenBytes) {
    const std::string alphanumerics =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";
    const std::string punctuation = "?!.,%&@+-_:;$*#";
    const std::array<int, 8> accentedBelowC0 = {0x8A, 0x8E, 0x9A, 0x9E, 0x9F, 0xA6, 0xA9, 0xAE};
    int tokenChars = 0;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        const bool expected =
            alphanumerics.find(static_cast<char>(byte)) != std::string::npos ||
            (b != 0 && punctuation.find(static_cast<char>(byte)) != std::string::npos) ||
            b >= 0xC0 ||
            std::find(accentedBelowC0.begin(), accentedBelowC0.end(), b) != accentedBelowC0.end();
        EXPECT_EQ(isTokenChar(byte), expected) << "byte " << b;
        tokenChars += isTokenChar(byte) ? 1 : 0;
    }
    EXPECT_EQ(tokenChars, 62 + 15 + 64 + 8);
    for (const char c : std::string(" \t\r\n\"'()/<=>[\\]^`{|}~\x7F")) {
        EXPECT_FALSE(isTokenChar(static_cast<unsigned char>(c))) << int(c);
    }
    EXPECT_FALSE(isTokenChar(0x80));
    EXPECT_FALSE(isTokenChar(0xBF));
}

TEST(TokenCharTest, FoldsAccentsToPlainLowerCaseLetters) {
    struct Range {
        int first;
        int last;
        char folded;
    };
    const std::vector<Range> folds = {
        {0xC0, 0xC5, 'a'}, {0xE0, 0xE5, 'a'}, {0xC7, 0xC7, 'c'}, {0xE7, 0xE7, 'c'},
        {0xD0, 0xD0, 'd'}, {0xC8, 0xCB, 'e'}, {0xE8, 0xEB, 'e'}, {0xCC, 0xCF, 'i'},
        {0xEC, 0xEF, 'i'}, {0xD1, 0xD1, 'n'}, {0xF1, 0xF1, 'n'}, {0xD2, 0xD6, 'o'},
        {0xD8, 0xD8, 'o'}, {0xF2, 0xF6, 'o'}, {0xF8, 0xF8, 'o'}, {0x8A, 0x8A, 's'},
        {0x9A, 0x9A, 's'}, {0xD7, 0xD7, 'x'}, {0x9F, 0x9F, 'y'}, {0xDD, 0xDD, 'y'},
        {0xFD, 0xFD, 'y'}, {0xFF, 0xFF, 'y'}, {0x8E, 0x8E, 'z'}, {0x9E, 0x9E, 'z'}};
    std::array<bool, 256> folded{};
    for (const Range& range : folds) {
        for (int b = range.first; b <= range.last; ++b) {
            EXPECT_EQ(foldAccent(static_cast<unsigned char>(b)), range.folded) << "byte " << b;
            folded[static_cast<std::size_t>(b)] = true;
        }
    }
    for (int b = 0; b < 256; ++b) {
        if (!folded[static_cast<std::size_t>(b)]) {
            EXPECT_EQ(foldAccent(static_cast<unsigned char>(b)), b) << "byte " << b;
        }
    }
    // The U-accents and the other unfolded letters stay as they are.
    for (const int b : {0xD9, 0xDC, 0xF9, 0xFC, 0xDE, 0xDF, 0xF0, 0xF7, 0xFE, 0xA6, 0xA9, 0xAE}) {
        EXPECT_EQ(foldAccent(static_cast<unsigned char>(b)), b);
    }
}

TEST(TokenizeTest, WindowsNeedThreeFinishedWords) {
    EXPECT_TRUE(windowsOf("").empty());
    EXPECT_TRUE(windowsOf("one two\n").empty());
    EXPECT_EQ(windowsOf("one two three\n"), (std::vector<Window>{{"one", "two", "three"}}));
    // The last word is finished only by a separator.
    EXPECT_TRUE(windowsOf("one two three").empty());
    EXPECT_EQ(windowsOf("one two three four"), (std::vector<Window>{{"one", "two", "three"}}));
}

TEST(TokenizeTest, NWordsGiveNMinusTwoConsecutiveWindows) {
    for (int n = 0; n <= 12; ++n) {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += "w" + std::to_string(i) + (i % 2 == 0 ? " " : "\r\n");
        }
        const std::vector<Window> windows = windowsOf(text);
        ASSERT_EQ(windows.size(), static_cast<std::size_t>(n >= 3 ? n - 2 : 0)) << n;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            EXPECT_EQ(windows[i], (Window{"w" + std::to_string(i), "w" + std::to_string(i + 1),
                                          "w" + std::to_string(i + 2)}));
        }
    }
}

TEST(TokenizeTest, SeparatorRunsAndLeadingSeparatorsMakeNoEmptyWords) {
    EXPECT_EQ(wordsOf("\r\n\t  one  \"two\" (three)\r\n\r\n"),
              (std::vector<std::string>{"one", "two", "three"}));
}

TEST(TokenizeTest, WordsStartWithALetterAndKeepTheirPunctuation) {
    EXPECT_EQ(wordsOf("$100 US$100 e-mail, end\n"),
              (std::vector<std::string>{"US$100", "e-mail,", "end"}));
    // Leading non-letters are dropped one by one until a letter comes.
    EXPECT_EQ(wordsOf("123abc ...x1 9 -y end\n"),
              (std::vector<std::string>{"abc", "x1", "y", "end"}));
    EXPECT_EQ(wordsOf("ab:/cd.ef end\n"), (std::vector<std::string>{"ab:", "cd.ef", "end"}));
}

TEST(TokenizeTest, AccentsFoldAndUnfoldedOnesCannotStartAWord) {
    EXPECT_EQ(wordsOf("\xC9"
                      "COLE \xDC"
                      "ber na\xEFve\n"),
              (std::vector<std::string>{"eCOLE", "ber", "naive"}));
    // Inside a word an unfolded accented letter stays as it is.
    EXPECT_EQ(wordsOf("M\xFCller \x8A"
                      "koda \xA9x\n"),
              (std::vector<std::string>{"M\xFCller", "skoda", "x"}));
}

TEST(TokenizeTest, CaseIsKept) {
    EXPECT_EQ(windowsOf("FREE money now\n"), (std::vector<Window>{{"FREE", "money", "now"}}));
    EXPECT_EQ(windowsOf("Free money now\n"), (std::vector<Window>{{"Free", "money", "now"}}));
}

TEST(TokenizeTest, TheByteAfterFortyCharactersIsLost) {
    const std::string run = letters(45);
    const std::vector<std::string> words = wordsOf(run + " end\n");
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0], run.substr(0, 40));
    EXPECT_EQ(words[1], run.substr(41, 4));  // letter 41 is gone
    EXPECT_EQ(words[2], "end");

    // A token punctuation byte at the limit is lost the same way.
    EXPECT_EQ(wordsOf(letters(40) + "-xyz a\n"),
              (std::vector<std::string>{letters(40), "xyz", "a"}));
    // A separator at the limit simply ends the word.
    EXPECT_EQ(wordsOf(letters(40) + " b c\n"), (std::vector<std::string>{letters(40), "b", "c"}));
    // 80 letters make two full words and lose nothing but the 41st.
    EXPECT_EQ(wordsOf(letters(81) + " z\n"),
              (std::vector<std::string>{letters(40), letters(81).substr(41, 40), "z"}));
}

TEST(TokenizeTest, TheTextEndsAtItsFirstNul) {
    const std::string text("one two three\n\0four five six\n", 29);
    EXPECT_EQ(windowsOf(text), (std::vector<Window>{{"one", "two", "three"}}));
    EXPECT_TRUE(windowsOf(std::string("\0one two three\n", 15)).empty());
}

TEST(PhraseTokensTest, FourTokensInOrderWithTheirOrders) {
    const std::vector<Window> windows = windowsOf("one two three\n");
    ASSERT_EQ(windows.size(), 1u);
    const PhraseTokens tokens(WordWindow{windows[0][0], windows[0][1], windows[0][2]});
    const auto all = tokens.all();
    EXPECT_EQ(all[0].text, "one");
    EXPECT_EQ(all[1].text, "one two");
    EXPECT_EQ(all[2].text, "one three");
    EXPECT_EQ(all[3].text, "one two three");
    EXPECT_EQ(all[0].order, 1);
    EXPECT_EQ(all[1].order, 2);
    EXPECT_EQ(all[2].order, 2);
    EXPECT_EQ(all[3].order, 3);
}

TEST(PhraseTokensTest, FullLengthWordsFit) {
    const std::string a = letters(40);
    const std::string b(40, 'B');
    const std::string c(40, 'C');
    const PhraseTokens tokens(WordWindow{a, b, c});
    EXPECT_EQ(tokens[0].text, a);
    EXPECT_EQ(tokens[1].text, a + " " + b);
    EXPECT_EQ(tokens[2].text, a + " " + c);
    EXPECT_EQ(tokens[3].text, a + " " + b + " " + c);
}
