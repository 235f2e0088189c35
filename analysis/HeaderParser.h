#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a parse yields for the store. Index, message length and time stamp are
// placeholders that the proxy fills in before it records the email.
struct HeaderRecord {
    std::string from;
    std::string to;
    std::string subject;
    std::uint8_t day = 1;
    std::uint8_t month = 1;
    std::uint8_t flag = 0;
    std::int32_t year = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::int32_t index = 0;
    std::int32_t headerLength = 0;
    std::int32_t messageLength = 1;
    std::int32_t timeStamp = 0;

    bool operator==(const HeaderRecord&) const = default;
};

// Positions in the array returned by CHeaderParser::getFieldTexts(). The blank
// slots are part of the layout its readers index into and stay empty.
enum FieldText : std::size_t {
    kFieldFrom,
    kFieldTo,
    kFieldSubject,
    kFieldDay,
    kFieldMonthName,
    kFieldYear,
    kFieldHour,
    kFieldMinute,
    kFieldBlank1,
    kFieldHeaderLength,
    kFieldBlank2,
    kFieldBlank3,
    kFieldTextCount
};

using FieldTexts = std::array<std::string, kFieldTextCount>;

// Reads the header at the front of a retrieved message. Each user keeps a
// parser of its own (the proxy's server one per server, the raters, views and
// commands one per parse), and an object is used by one thread at a time:
// nothing in it is locked. Every parse replaces all results of the previous
// one, so a caller reads what it needs before parsing again. Header bytes come
// from strangers: any byte value is accepted and nothing beyond the given
// length is read.
class CHeaderParser {
  public:
    CHeaderParser();

    void parse(const char* text, std::size_t length);
    void parse(std::string_view text);

    HeaderRecord getHeaderRecord() const;
    FieldTexts getFieldTexts() const;

    // Candidate relay addresses from the Received values, newest hop first.
    const std::vector<std::string>& receivedIPs() const { return m_receivedIPs; }
    // Received values, each with at most one continuation line joined.
    const std::vector<std::string>& received() const { return m_received; }
    // Complete header lines before the empty line, without their CR LF.
    const std::vector<std::string>& lines() const { return m_lines; }
    std::int32_t lineCount() const { return m_lineCount; }
    // Words of the Date value; empty unless the value was long enough to read.
    const std::vector<std::string>& dateWords() const { return m_dateWords; }

    // Byte offsets just past "Subject: " on the first and the last Subject
    // line. 9 or less means no such line: a Subject on the very first line
    // cannot be told apart from a missing one, and the marker treats it so.
    std::int32_t m_subjectOffset1 = 9;
    std::int32_t m_subjectOffset2 = 9;

  private:
    void splitLines(std::string_view text);
    void setDefaults();
    void collectReceived();
    void readFieldLines();
    void readDate(const std::string& date);

    std::vector<std::string> m_lines;
    std::int32_t m_lineCount = 0;
    std::vector<std::string> m_received;
    std::vector<std::string> m_receivedIPs;
    std::vector<std::string> m_dateWords;

    std::string m_from;
    std::string m_to;
    std::string m_subject;
    std::string m_day;
    std::string m_monthName;
    std::string m_monthNumberText;
    std::string m_year;
    std::string m_hour;
    std::string m_minute;
    std::string m_headerLengthText;
    std::int32_t m_headerLength = 0;
};

// The display form of a header value holding a Base64 encoded word: only the
// decoded bytes of the first such word, without the text around it and
// without regard to its character set. Padding decodes to NUL bytes like any
// other character outside the alphabet. Values without a complete word, or
// whose word has no "b?" marker (the Q form), come back unchanged.
std::string decodeEncodedWord(std::string_view text);
