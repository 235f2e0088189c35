#include "BuildTestSupport.h"

#include <algorithm>
#include <ctime>

#include "platform/Clock.h"
#include "store/EmailHeader.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kRecordedLimit = 4999;

const std::vector<std::string> kHamWords = {
    "meeting", "agenda", "project",   "review", "budget",   "schedule", "minutes",
    "team",    "lunch",  "draft",     "report", "notes",    "quarter",  "planning",
    "office",  "thanks", "colleague", "slides", "deadline", "summary"};
const std::vector<std::string> kSpamWords = {
    "viagra",    "casino",  "lottery",  "winner",   "cheap",       "pills",     "mortgage",
    "refinance", "jackpot", "bonus",    "offer",    "unsubscribe", "prize",     "credit",
    "rolex",     "replica", "discount", "pharmacy", "loan",        "guaranteed"};

// Twelve consecutive words of the list from a place given by i, and a serial
// that no other text has. Word triples recur across variants, so a table built
// from a few dozen knows them well; the serial itself is too rare to count.
std::string wordsText(const std::vector<std::string>& words, int i) {
    std::string text = "Subject: note\r\n\r\n";
    const std::size_t n = words.size();
    const std::size_t start = static_cast<std::size_t>(i) % n;
    for (std::size_t k = 0; k < 12; ++k) {
        text += words[(start + k) % n];
        text += k % 6 == 5 ? "\r\n" : " ";
    }
    return text + "serial" + std::to_string(i) + "\r\n.\r\n";
}

}  // namespace

int BuildFixture::storeText(std::string_view folder, const std::string& text) {
    EmailHeader header;
    header.from = "sender@example.org";
    header.to = "user@example.org";
    header.subject = "note";
    header.textLength = static_cast<std::int32_t>(text.size());
    const int index = db().getNextEmailIndex();
    EXPECT_TRUE(db().setEmailHeader(index, folder, header, text));
    return index;
}

void BuildFixture::storeTexts(std::string_view folder, const std::vector<std::string>& list) {
    for (const std::string& text : list) {
        storeText(folder, text);
    }
}

std::string BuildFixture::textOf(std::string_view folder, int index) {
    EmailHeader header;
    std::string text;
    return db().getEmailHeader(index, folder, header, text) ? text : std::string();
}

std::vector<std::string> BuildFixture::passAndStageLines() {
    std::vector<std::string> lines;
    for (const std::string& call : desktop().calls()) {
        if (call.starts_with("pass ") || call.starts_with("stage ")) {
            lines.push_back(call);
        }
    }
    return lines;
}

std::string hamText(int i) {
    return wordsText(kHamWords, i);
}

std::string spamText(int i) {
    return wordsText(kSpamWords, i);
}

std::string unknownText(int i) {
    const std::string stem = "qx" + std::to_string(i) + "v";
    std::string text;
    for (const char suffix : std::string("abcdef")) {
        text += stem + suffix + " ";
    }
    return text + "\r\n.\r\n";
}

std::vector<std::string> texts(std::string (*make)(int), int first, int count) {
    std::vector<std::string> list;
    for (int i = first; i < first + count; ++i) {
        list.push_back(make(i));
    }
    return list;
}

std::vector<std::string> corpusMessages(const std::string& kind, std::size_t first,
                                        std::size_t count) {
    const std::vector<fs::path> files = corpusFiles(kind);
    std::vector<std::string> messages;
    for (std::size_t i = first; i < files.size() && messages.size() < count; ++i) {
        std::string text;
        char previous = '\0';
        for (const char c : readWholeFile(files[i].string())) {
            if (c == '\n' && previous != '\r') {
                text += '\r';
            }
            text += c;
            previous = c;
        }
        if (!text.empty() && !text.ends_with("\r\n")) {
            text += "\r\n";
        }
        text += ".\r\n";
        text.resize(std::min(text.size(), kRecordedLimit));
        messages.push_back(std::move(text));
    }
    return messages;
}

void pinLocalTime(int dayOfMonth, int hour, int minute) {
    std::tm parts{};
    parts.tm_year = 2024 - 1900;
    parts.tm_mon = 0;
    parts.tm_mday = dayOfMonth;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = 30;
    parts.tm_isdst = -1;
    platform::setFixedTime(static_cast<std::int64_t>(std::mktime(&parts)));
    const platform::LocalTime local = platform::localTime();
    ASSERT_EQ(local.day, dayOfMonth);
    ASSERT_EQ(local.hour, hour);
    ASSERT_EQ(local.minute, minute);
}

std::string scheduleFileBytes() {
    return readWholeFile(ScheduleData::kDefaultFileName);
}
