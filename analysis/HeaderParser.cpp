#include "analysis/HeaderParser.h"

#include <cstdint>
#include <limits>

#include "analysis/ReceivedAddresses.h"
#include "platform/MonthNames.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kReceived = "Received: ";
constexpr std::string_view kFrom = "From: ";
constexpr std::string_view kTo = "To: ";
constexpr std::string_view kSubject = "Subject: ";
constexpr std::string_view kDate = "Date: ";

// Case tests follow the "C" locale: only A-Z fold, and bytes of 0x80 and up
// equal nothing but themselves, whatever the user's locale says.
char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

bool startsWithIgnoringCase(std::string_view line, std::string_view prefix) {
    return line.size() >= prefix.size() && sameIgnoringCase(line.substr(0, prefix.size()), prefix);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::int32_t saturatedInt32(std::uint64_t value) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(value < kMax ? value : kMax);
}

// Reads a number the way atoi does: leading white space, an optional sign and
// then digits up to the first non-digit, so "5," reads as 5 and "x" as 0.
// Works on counted text, and clamps instead of overflowing.
std::int32_t leadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kLimit) {
            value = kLimit;
        }
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(value < kLimit ? value : kLimit - 1);
}

bool isMonthName(std::string_view word) {
    for (int month = 1; month <= 12; ++month) {
        if (sameIgnoringCase(word, platform::monthName(month))) {
            return true;
        }
    }
    return false;
}

bool allDigits(std::string_view word) {
    for (char c : word) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> spaceSeparatedWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < text.size()) {
        if (text[start] == ' ') {
            ++start;
            continue;
        }
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        words.emplace_back(text.substr(start, end - start));
        start = end;
    }
    return words;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return 0;
}

std::size_t findIgnoringCase(std::string_view text, std::string_view needle) {
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        if (sameIgnoringCase(text.substr(i, needle.size()), needle)) {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

CHeaderParser::CHeaderParser() {
    parse(std::string_view());
}

void CHeaderParser::parse(const char* text, std::size_t length) {
    parse(text == nullptr ? std::string_view() : std::string_view(text, length));
}

void CHeaderParser::parse(std::string_view text) {
    splitLines(text);
    setDefaults();
    collectReceived();
    m_receivedIPs = scanReceivedAddresses(m_received);
    readFieldLines();
}

void CHeaderParser::splitLines(std::string_view text) {
    m_lines.clear();
    std::size_t start = 0;
    std::size_t consumed = text.size();
    for (;;) {
        const std::size_t end = text.find(kCrLf, start);
        if (end == std::string_view::npos) {
            // An unfinished last line is not a header line: the message was cut
            // short, and what follows the last CR LF may be half a field.
            break;
        }
        if (end == start) {
            consumed = end + kCrLf.size();
            break;
        }
        m_lines.emplace_back(text.substr(start, end - start));
        start = end + kCrLf.size();
    }
    m_lineCount = saturatedInt32(m_lines.size());
    m_headerLength = saturatedInt32(consumed);
    m_headerLengthText = std::to_string(m_headerLength);
}

void CHeaderParser::setDefaults() {
    m_from.clear();
    m_to.clear();
    m_subject.clear();
    m_day = "1";
    m_monthName = "Jan";
    m_monthNumberText = "1";
    m_year = "0";
    m_hour = "0";
    m_minute = "0";
    m_dateWords.clear();
    m_subjectOffset1 = 9;
    m_subjectOffset2 = 9;
}

// Only the first continuation line of a Received header is kept, and only when
// it is folded with a space; the rest of a long fold carries nothing the
// address scan looks at.
void CHeaderParser::collectReceived() {
    m_received.clear();
    bool open = false;
    std::string value;
    for (const std::string& line : m_lines) {
        if (startsWithIgnoringCase(line, kReceived)) {
            if (open) {
                m_received.push_back(std::move(value));
            }
            value = line.substr(kReceived.size());
            open = true;
        } else if (open) {
            if (!line.empty() && line.front() == ' ') {
                value += ' ';
                value += line;
            }
            m_received.push_back(std::move(value));
            open = false;
        }
    }
    if (open) {
        m_received.push_back(std::move(value));
    }
}

void CHeaderParser::readFieldLines() {
    bool haveFirstSubject = false;
    std::size_t firstSubject = 0;
    std::size_t lastSubject = 0;
    bool haveDate = false;
    std::string date;

    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const std::string& line = m_lines[i];
        if (startsWithIgnoringCase(line, kFrom)) {
            m_from = line.substr(kFrom.size());
        } else if (startsWithIgnoringCase(line, kTo)) {
            m_to = line.substr(kTo.size());
        } else if (startsWithIgnoringCase(line, kSubject)) {
            m_subject = line.substr(kSubject.size());
            if (!haveFirstSubject) {
                firstSubject = i;
                haveFirstSubject = true;
            } else {
                lastSubject = i;
            }
        } else if (startsWithIgnoringCase(line, kDate)) {
            date = line.substr(kDate.size());
            haveDate = true;
        }
    }

    // The lines lie back to back from the start of the text, so a line's
    // offset is the sum of the lengths before it, each with its CR LF.
    auto valueOffset = [this](std::size_t lineIndex) {
        std::uint64_t offset = kSubject.size();
        for (std::size_t i = 0; i < lineIndex; ++i) {
            offset += m_lines[i].size() + kCrLf.size();
        }
        return saturatedInt32(offset);
    };
    m_subjectOffset1 = valueOffset(firstSubject);
    m_subjectOffset2 = valueOffset(lastSubject);

    if (haveDate) {
        readDate(date);
    }
}

// Short Date values are usually bare dates or junk; the defaults serve better
// than a half-read value. A long one is read word by word, so the usual
// "Thu, 05 Jan 2006 14:03:22 +0000" and its common variants all work without
// a grammar. A part that no word supplies stays empty.
void CHeaderParser::readDate(const std::string& date) {
    if (date.size() <= 19) {
        return;
    }
    m_dateWords = spaceSeparatedWords(date);

    bool haveMonth = false;
    bool haveDay = false;
    bool haveYear = false;
    bool haveTime = false;
    m_monthName.clear();
    m_day.clear();
    m_year.clear();
    m_hour.clear();
    m_minute.clear();
    for (const std::string& word : m_dateWords) {
        if (!haveMonth && word.size() == 3 && isMonthName(word)) {
            m_monthName = word;
            haveMonth = true;
        }
        if (!haveDay && (word.size() == 1 || word.size() == 2)) {
            m_day = word.front() == '0' ? word.substr(1) : word;
            haveDay = true;
        }
        if (!haveYear && word.size() == 4 && allDigits(word)) {
            m_year = word;
            haveYear = true;
        }
        if (!haveTime && word.size() == 8) {
            m_hour = word.substr(0, 2);
            m_minute = word.substr(3, 2);
            haveTime = true;
        }
    }
    m_monthNumberText = platform::monthNumberText(m_monthName);
}

HeaderRecord CHeaderParser::getHeaderRecord() const {
    HeaderRecord record;
    record.from = m_from;
    record.to = m_to;
    record.subject = m_subject;
    record.day = static_cast<std::uint8_t>(leadingNumber(m_day));
    record.month = static_cast<std::uint8_t>(leadingNumber(m_monthNumberText));
    record.flag = 0;
    record.year = leadingNumber(m_year);
    record.hour = static_cast<std::uint8_t>(leadingNumber(m_hour));
    record.minute = static_cast<std::uint8_t>(leadingNumber(m_minute));
    record.index = 0;
    record.headerLength = m_headerLength;
    record.messageLength = 1;
    record.timeStamp = 0;
    return record;
}

FieldTexts CHeaderParser::getFieldTexts() const {
    FieldTexts texts;
    texts[kFieldFrom] = m_from;
    texts[kFieldTo] = m_to;
    texts[kFieldSubject] = m_subject;
    texts[kFieldDay] = m_day;
    texts[kFieldMonthName] = m_monthName;
    texts[kFieldYear] = m_year;
    texts[kFieldHour] = m_hour;
    texts[kFieldMinute] = m_minute;
    texts[kFieldHeaderLength] = m_headerLengthText;
    return texts;
}

std::string decodeEncodedWord(std::string_view text) {
    constexpr std::string_view kOpen = "=?";
    constexpr std::string_view kClose = "?=";
    const std::size_t open = text.find(kOpen);
    const std::size_t close = text.find(kClose);
    if (open == std::string_view::npos || close == std::string_view::npos) {
        return std::string(text);
    }
    // A closing mark before the opening one, or sharing its '?' as in "=?=",
    // leaves nothing between them, and so no encoded word.
    const std::size_t inside = open + kOpen.size();
    if (close < inside) {
        return std::string(text);
    }
    const std::string_view word = text.substr(inside, close - inside);
    const std::size_t marker = findIgnoringCase(word, "b?");
    if (marker == std::string_view::npos) {
        return std::string(text);
    }
    const std::string_view encoded = word.substr(marker + 2);
    std::string decoded;
    decoded.reserve(encoded.size() / 4 * 3);
    for (std::size_t i = 0; i + 4 <= encoded.size(); i += 4) {
        const std::uint32_t bits = (static_cast<std::uint32_t>(base64Value(encoded[i])) << 18) |
                                   (static_cast<std::uint32_t>(base64Value(encoded[i + 1])) << 12) |
                                   (static_cast<std::uint32_t>(base64Value(encoded[i + 2])) << 6) |
                                   static_cast<std::uint32_t>(base64Value(encoded[i + 3]));
        decoded.push_back(static_cast<char>((bits >> 16) & 0xFF));
        decoded.push_back(static_cast<char>((bits >> 8) & 0xFF));
        decoded.push_back(static_cast<char>(bits & 0xFF));
    }
    return decoded;
}
