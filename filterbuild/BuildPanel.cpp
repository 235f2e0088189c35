#include "filterbuild/BuildPanel.h"

#include <charconv>

#include "rating/BayesFilter.h"
#include "store/Database.h"
#include "store/ProgramState.h"

namespace {

constexpr const char* kFilterOnText = "Filter ON";
constexpr const char* kFilterOffText = "Filter OFF";
constexpr const char* kRequestOnText = "ON - Builds on Exit";
constexpr const char* kRequestOffText = "OFF";
constexpr const char* kNoFilterMessage = "Must Create a Filter First";
constexpr const char* kHourMessage = "Must Enter integer between 1 and 12 for hour";
constexpr const char* kMinuteMessage = "Must Enter integer between 0 and 60 for minute";
constexpr const char* kSaveFailedMessage = "Can't Save the Schedule to \"";
constexpr int kFirstHour = 1;
constexpr int kLastHour = 12;
constexpr int kFirstMinute = 0;
constexpr int kLastMinute = 60;  // 60 is accepted: it is the spin control's top

// Monday .. Sunday check boxes from the Sunday-first times.
std::array<bool, 7> checksFromTimes(const std::array<std::int32_t, 7>& times) {
    std::array<bool, 7> checks{};
    for (std::size_t day = 0; day < checks.size(); ++day) {
        checks[day] = times[(day + 1) % times.size()] != -1;
    }
    return checks;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::optional<int> parseFieldInteger(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isBlank(text[first])) {
        ++first;
    }
    while (last > first && isBlank(text[last - 1])) {
        --last;
    }
    if (first < last && text[first] == '+') {
        ++first;  // from_chars takes a minus sign only
    }
    if (first == last) {
        return std::nullopt;
    }
    int value = 0;
    const char* begin = text.data() + first;
    const char* end = text.data() + last;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

BuildPanel::BuildPanel(ScheduleData& schedule, BayesFilter& filter, CDatabase& database)
    : m_schedule(schedule), m_filter(filter), m_database(database) {}

void BuildPanel::open() {
    const bool on = ProgramState(m_database.getHarrowgleamState()).bayesOn();
    m_filter.setEnabled(on, true);
    m_filterShownOn = on;

    if (m_schedule.loadSchedule(m_bytes)) {
        m_hourText = std::to_string(m_bytes.hour);
        m_minuteText = std::to_string(m_bytes.minute);
        m_amPmIndex = m_bytes.pm == 1 ? kPm : kAm;
    } else {
        m_hourText = "12";
        m_minuteText = "0";
        m_amPmIndex = kAm;
    }
    m_dayChecks = checksFromTimes(m_schedule.scheduleTimes());
    m_accuracyText = ::accuracyText(m_schedule.lastAccuracy(), m_schedule.lastEmailCount());
    m_buildRequested = false;
}

std::string BuildPanel::buildRequestText() const {
    return m_buildRequested ? kRequestOnText : kRequestOffText;
}

std::string BuildPanel::filterButtonText() const {
    return m_filterShownOn ? kFilterOnText : kFilterOffText;
}

void BuildPanel::pressBuildNow() {
    m_buildRequested = !m_buildRequested;
}

std::optional<std::string> BuildPanel::pressFilterButton() {
    const bool on = !m_filter.isEnabled();
    if (on && !m_filter.tablePresent()) {
        return kNoFilterMessage;
    }
    // The state byte first: a store that fails here leaves the switch, the
    // status pane and the button as they were, instead of a filter that
    // comes back the other way at the next start.
    m_database.changeProgramState(StateChange().turn(ProgramState::Switch::Bayes, on));
    m_filter.setEnabled(on, true);
    m_filterShownOn = on;
    return std::nullopt;
}

std::optional<std::string> BuildPanel::pressOk(const std::array<bool, 7>& days,
                                               const std::string& hourText,
                                               const std::string& minuteText, int amPmIndex) {
    // The request counts even when the time fields turn out to be wrong.
    if (m_buildRequested) {
        m_schedule.setBuildNowPending(true);
    }
    m_dayChecks = days;
    m_hourText = hourText;
    m_minuteText = minuteText;
    m_amPmIndex = amPmIndex;

    ScheduleBytes bytes = m_bytes;
    for (std::size_t day = 0; day < days.size(); ++day) {
        bytes.days[day] = days[day] ? 1 : 0;
    }
    const std::optional<int> hour = parseFieldInteger(hourText);
    if (!hour || *hour < kFirstHour || *hour > kLastHour) {
        return kHourMessage;
    }
    const std::optional<int> minute = parseFieldInteger(minuteText);
    if (!minute || *minute < kFirstMinute || *minute > kLastMinute) {
        return kMinuteMessage;
    }
    bytes.hour = static_cast<std::uint8_t>(*hour);
    bytes.minute = static_cast<std::uint8_t>(*minute);
    // The list has two entries; anything else (no selection) counts as AM.
    bytes.pm = amPmIndex == kPm ? 1 : 0;
    // A file that cannot be written leaves the schedule in memory as it was.
    // The panel says so and stays open: closing would pass for a saved schedule.
    if (!m_schedule.saveSchedule(bytes)) {
        return std::string(kSaveFailedMessage) + m_schedule.fileName() + "\"";
    }
    m_bytes = bytes;
    return std::nullopt;
}
