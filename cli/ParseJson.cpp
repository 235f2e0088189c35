#include "cli/ParseJson.h"

#include "analysis/HeaderParser.h"

std::string latin1ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

namespace {
nlohmann::json textArray(const std::vector<std::string>& texts) {
    nlohmann::json array = nlohmann::json::array();
    for (const std::string& text : texts) {
        array.push_back(latin1ToUtf8(text));
    }
    return array;
}
}  // namespace

nlohmann::json parseToJson(std::string_view text) {
    CHeaderParser parser;
    parser.parse(text);
    const HeaderRecord record = parser.getHeaderRecord();
    return nlohmann::json{
        {"from", latin1ToUtf8(record.from)},
        {"to", latin1ToUtf8(record.to)},
        {"subject", latin1ToUtf8(record.subject)},
        {"day", record.day},
        {"month", record.month},
        {"year", record.year},
        {"hour", record.hour},
        {"minute", record.minute},
        {"headerLength", record.headerLength},
        {"subjectOffset1", parser.m_subjectOffset1},
        {"subjectOffset2", parser.m_subjectOffset2},
        {"received", textArray(parser.received())},
        {"receivedIPs", textArray(parser.receivedIPs())},
    };
}
