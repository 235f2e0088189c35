// The header of a retrieved message is written by whoever sent it. The parser,
// the Received-path address scan and the encoded-word decoder must take any
// bytes, read nothing past them, and hand back results that point into the
// text: the spam marker writes at the Subject offsets, so an offset that does
// not stand just past a "Subject: " would corrupt the mail it marks.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/HeaderParser.h"
#include "analysis/ReceivedAddresses.h"
#include "fuzz/support/FuzzCheck.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kSubject = "Subject: ";
constexpr std::string_view kReceived = "Received: ";
constexpr std::int32_t kNoSubject = 9;

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (asciiLower(text[i]) != asciiLower(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Four groups of one to three digits with points between, and at most one
// point after the last group.
bool isDottedCandidate(std::string_view text) {
    std::size_t at = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        std::size_t digits = 0;
        while (at < text.size() && isDigit(text[at])) {
            ++at;
            ++digits;
        }
        if (digits < 1 || digits > 3) {
            return false;
        }
    }
    return at == text.size() || (at + 1 == text.size() && text[at] == '.');
}

std::int32_t clampedOffset(std::size_t offset) {
    return offset > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
               ? std::numeric_limits<std::int32_t>::max()
               : static_cast<std::int32_t>(offset);
}

// The lines lie back to back from the start, each closed by CR LF; the header
// length runs to the empty line or, without one, over the whole text.
std::size_t checkLines(const CHeaderParser& parser, std::string_view text) {
    std::size_t at = 0;
    for (const std::string& line : parser.lines()) {
        FUZZ_CHECK(!line.empty());
        FUZZ_CHECK(line.find(kCrLf) == std::string::npos);
        FUZZ_CHECK(text.substr(at, line.size()) == line);
        FUZZ_CHECK(text.substr(at + line.size(), kCrLf.size()) == kCrLf);
        at += line.size() + kCrLf.size();
    }
    FUZZ_CHECK(parser.lineCount() == clampedOffset(parser.lines().size()));
    const bool emptyLine = text.substr(at, kCrLf.size()) == kCrLf;
    const std::size_t headerLength = emptyLine ? at + kCrLf.size() : text.size();
    FUZZ_CHECK(parser.getHeaderRecord().headerLength == clampedOffset(headerLength));
    FUZZ_CHECK(parser.getFieldTexts()[kFieldHeaderLength] ==
               std::to_string(clampedOffset(headerLength)));
    return headerLength;
}

// The marker inserts its word at these offsets: each must be 9 (no line) or
// stand just past "Subject: " at the start of a header line.
void checkSubjectOffset(std::int32_t offset, std::string_view text, std::size_t headerLength) {
    if (offset == kNoSubject) {
        return;
    }
    FUZZ_CHECK(offset > kNoSubject);
    const auto end = static_cast<std::size_t>(offset);
    FUZZ_CHECK(end <= headerLength);
    const std::size_t start = end - kSubject.size();
    FUZZ_CHECK(startsWithIgnoringCase(text.substr(start), kSubject));
    FUZZ_CHECK(start >= kCrLf.size() && text.substr(start - kCrLf.size(), 2) == kCrLf);
}

// The first and the last Subject line, found the plain way; a line that is
// the only one gives no last offset.
void checkSubjects(const CHeaderParser& parser, std::string_view text, std::size_t headerLength) {
    checkSubjectOffset(parser.m_subjectOffset1, text, headerLength);
    checkSubjectOffset(parser.m_subjectOffset2, text, headerLength);
    std::int32_t first = kNoSubject;
    std::int32_t last = kNoSubject;
    bool seen = false;
    std::size_t at = 0;
    for (const std::string& line : parser.lines()) {
        if (startsWithIgnoringCase(line, kSubject)) {
            (seen ? last : first) = clampedOffset(at + kSubject.size());
            seen = true;
        }
        at += line.size() + kCrLf.size();
    }
    FUZZ_CHECK(parser.m_subjectOffset1 == first);
    FUZZ_CHECK(parser.m_subjectOffset2 == last);
}

void checkReceived(const CHeaderParser& parser) {
    std::size_t receivedLines = 0;
    for (const std::string& line : parser.lines()) {
        if (startsWithIgnoringCase(line, kReceived)) {
            FUZZ_CHECK(receivedLines < parser.received().size());
            const std::string& value = parser.received()[receivedLines];
            FUZZ_CHECK(value.compare(0, line.size() - kReceived.size(), line, kReceived.size()) ==
                       0);
            ++receivedLines;
        }
    }
    FUZZ_CHECK(receivedLines == parser.received().size());

    FUZZ_CHECK(scanReceivedAddresses(parser.received()) == parser.receivedIPs());
    for (const std::string& address : parser.receivedIPs()) {
        FUZZ_CHECK(isDottedCandidate(address));
        bool inSomeValue = false;
        for (const std::string& value : parser.received()) {
            inSomeValue = inSomeValue || value.find(address) != std::string::npos;
        }
        FUZZ_CHECK(inSomeValue);
    }
}

// The value of the last line that starts with `name`, "" without one.
std::string lastValue(const CHeaderParser& parser, std::string_view name) {
    std::string value;
    for (const std::string& line : parser.lines()) {
        if (startsWithIgnoringCase(line, name)) {
            value = line.substr(name.size());
        }
    }
    return value;
}

void checkFields(const CHeaderParser& parser) {
    const FieldTexts texts = parser.getFieldTexts();
    FUZZ_CHECK(texts[kFieldFrom] == lastValue(parser, "From: "));
    FUZZ_CHECK(texts[kFieldTo] == lastValue(parser, "To: "));
    FUZZ_CHECK(texts[kFieldSubject] == lastValue(parser, kSubject));
    FUZZ_CHECK(texts[kFieldBlank1].empty() && texts[kFieldBlank2].empty() &&
               texts[kFieldBlank3].empty());
    for (const std::string& word : parser.dateWords()) {
        FUZZ_CHECK(!word.empty() && word.find(' ') == std::string::npos);
    }
    const HeaderRecord record = parser.getHeaderRecord();
    FUZZ_CHECK(record.from == texts[kFieldFrom]);
    FUZZ_CHECK(record.to == texts[kFieldTo]);
    FUZZ_CHECK(record.subject == texts[kFieldSubject]);
    FUZZ_CHECK(record.month >= 1 && record.month <= 12);
}

// The first word's bytes only: never longer than the value, and whole groups
// of three whenever a word was decoded.
void checkDecoded(std::string_view value) {
    const std::string decoded = decodeEncodedWord(value);
    if (decoded == value) {
        return;
    }
    FUZZ_CHECK(value.find("=?") != std::string_view::npos);
    FUZZ_CHECK(decoded.size() <= value.size());
    FUZZ_CHECK(decoded.size() % 3 == 0);
}

// One parser serves the whole process, so nothing of an earlier parse may
// leak into the next: a reused parser must agree with a fresh one.
void checkAgainstFresh(const CHeaderParser& reused, std::string_view text) {
    CHeaderParser fresh;
    fresh.parse(text.data(), text.size());
    FUZZ_CHECK(fresh.lines() == reused.lines());
    FUZZ_CHECK(fresh.received() == reused.received());
    FUZZ_CHECK(fresh.receivedIPs() == reused.receivedIPs());
    FUZZ_CHECK(fresh.dateWords() == reused.dateWords());
    FUZZ_CHECK(fresh.getFieldTexts() == reused.getFieldTexts());
    FUZZ_CHECK(fresh.getHeaderRecord() == reused.getHeaderRecord());
    FUZZ_CHECK(fresh.m_subjectOffset1 == reused.m_subjectOffset1);
    FUZZ_CHECK(fresh.m_subjectOffset2 == reused.m_subjectOffset2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CHeaderParser parser;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    parser.parse(text.data(), text.size());

    const std::size_t headerLength = checkLines(parser, text);
    checkSubjects(parser, text, headerLength);
    checkReceived(parser);
    checkFields(parser);
    checkAgainstFresh(parser, text);

    const FieldTexts texts = parser.getFieldTexts();
    checkDecoded(texts[kFieldFrom]);
    checkDecoded(texts[kFieldTo]);
    checkDecoded(texts[kFieldSubject]);
    checkDecoded(text);
    return 0;
}
