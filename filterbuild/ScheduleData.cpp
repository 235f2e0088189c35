#include "filterbuild/ScheduleData.h"

#include "platform/Files.h"
#include "platform/LittleEndian.h"

#include <utility>

#include "platform/Clock.h"

namespace {

constexpr std::size_t kAccuracyOffset = 10;
constexpr std::size_t kEmailCountOffset = 14;
constexpr std::int32_t kNotSelected = -1;
constexpr std::int32_t kMinutesPerDay = 24 * 60;
// scheduleTimes runs Sunday first; the day bytes run Monday first.
constexpr std::size_t kSundayByte = 6;
constexpr std::size_t kSaturdaySlot = 6;

}  // namespace

std::optional<ScheduleRecord> decodeScheduleRecord(std::string_view bytes) {
    if (bytes.size() < ScheduleRecord::kSize) {
        return std::nullopt;
    }
    ScheduleRecord record;
    for (std::size_t day = 0; day < record.bytes.days.size(); ++day) {
        record.bytes.days[day] = static_cast<std::uint8_t>(bytes[day]);
    }
    record.bytes.hour = static_cast<std::uint8_t>(bytes[7]);
    record.bytes.minute = static_cast<std::uint8_t>(bytes[8]);
    record.bytes.pm = static_cast<std::uint8_t>(bytes[9]);
    record.lastAccuracy = platform::getLeFloat(bytes.data() + kAccuracyOffset);
    record.lastEmailCount = platform::getLeInt32(bytes.data() + kEmailCountOffset);
    return record;
}

std::array<char, ScheduleRecord::kSize> encodeScheduleRecord(const ScheduleRecord& record) {
    std::array<char, ScheduleRecord::kSize> out{};
    for (std::size_t day = 0; day < record.bytes.days.size(); ++day) {
        out[day] = static_cast<char>(record.bytes.days[day]);
    }
    out[7] = static_cast<char>(record.bytes.hour);
    out[8] = static_cast<char>(record.bytes.minute);
    out[9] = static_cast<char>(record.bytes.pm);
    platform::putLeFloat(out.data() + kAccuracyOffset, record.lastAccuracy);
    platform::putLeInt32(out.data() + kEmailCountOffset, record.lastEmailCount);
    return out;
}

std::array<std::int32_t, 7> computeScheduleTimes(const ScheduleBytes& bytes) {
    // 12 PM adds 12 like any PM hour, so it lands on 24:00, the midnight that
    // ends the selected day; 12 AM stays 12:00, noon.
    const std::int32_t hour = bytes.hour + (bytes.pm == 1 ? 12 : 0);
    const std::int32_t minuteOfDay = hour * 60 + bytes.minute;
    std::array<std::int32_t, 7> times{};
    for (std::size_t slot = 0; slot < times.size(); ++slot) {
        const std::size_t dayByte = slot == 0 ? kSundayByte : slot - 1;
        times[slot] = bytes.days[dayByte] != 0
                          ? static_cast<std::int32_t>(slot) * kMinutesPerDay + minuteOfDay
                          : kNotSelected;
    }
    return times;
}

std::string accuracyText(float lastAccuracy, std::int32_t lastEmailCount) {
    if (lastEmailCount == -1) {
        return "Filter Can't Be Built:\r\nYou must supply 10 or more emails to\r\n the folders "
               "\"Store Good\" and \"Store Bad\" each.";
    }
    char text[128];
    std::snprintf(text, sizeof text, "Filter's Accuracy:\r\n %.2f%% for %d emails.",
                  static_cast<double>(lastAccuracy * 100.0f), static_cast<int>(lastEmailCount));
    return text;
}

ScheduleData::ScheduleData(std::string fileName) : m_fileName(std::move(fileName)) {
    ScheduleBytes loaded;
    loadSchedule(loaded);
    setResult(0.0f, 0);
}

bool ScheduleData::loadSchedule(ScheduleBytes& bytes) {
    const platform::SmallFile head = platform::readSmallFile(m_fileName, ScheduleRecord::kSize);
    if (head.status != platform::OwnFile::Status::Open) {
        return false;
    }
    const std::optional<ScheduleRecord> record = decodeScheduleRecord(head.bytes);
    if (!record) {
        return false;
    }
    bytes = record->bytes;
    std::lock_guard lock(m_mutex);
    m_bytes = record->bytes;
    m_lastAccuracy = record->lastAccuracy;
    m_lastEmailCount = record->lastEmailCount;
    m_times = computeScheduleTimes(m_bytes);
    return true;
}

bool ScheduleData::saveSchedule(const ScheduleBytes& bytes) {
    std::lock_guard lock(m_mutex);
    ScheduleRecord record;
    record.bytes = bytes;
    record.lastAccuracy = m_lastAccuracy;
    record.lastEmailCount = m_lastEmailCount;
    const auto encoded = encodeScheduleRecord(record);
    if (!platform::replaceFileContents(m_fileName,
                                       std::string_view(encoded.data(), encoded.size()))) {
        return false;
    }
    m_bytes = bytes;
    m_times = computeScheduleTimes(m_bytes);
    return true;
}

bool ScheduleData::saveCurrentSchedule() {
    return saveSchedule(bytes());
}

bool ScheduleData::isBuildDue(bool& requested) const {
    if (m_buildNowPending.load()) {
        requested = true;
        return true;
    }
    requested = false;
    const platform::LocalTime local = platform::localTime();
    const std::int32_t now = (local.weekday * 24 + local.hour) * 60 + local.minute;
    const std::array<std::int32_t, 7> times = scheduleTimes();
    for (const std::int32_t t : times) {
        if (t != kNotSelected && now - t >= 0 && now - t <= kDueWindowMinutes) {
            return true;
        }
    }
    // A Saturday time in the week's last minutes, or at its closing midnight,
    // runs over into the first minutes of Sunday.
    const std::int32_t saturday = times[kSaturdaySlot];
    if (saturday != kNotSelected) {
        const std::int32_t beforeWeekEnd = kMinutesPerWeek - saturday;
        if (beforeWeekEnd <= kDueWindowMinutes && beforeWeekEnd + now <= kDueWindowMinutes) {
            return true;
        }
    }
    return false;
}

std::array<std::int32_t, 7> ScheduleData::scheduleTimes() const {
    std::lock_guard lock(m_mutex);
    return m_times;
}

ScheduleBytes ScheduleData::bytes() const {
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

float ScheduleData::lastAccuracy() const {
    std::lock_guard lock(m_mutex);
    return m_lastAccuracy;
}

std::int32_t ScheduleData::lastEmailCount() const {
    std::lock_guard lock(m_mutex);
    return m_lastEmailCount;
}

void ScheduleData::setResult(float accuracy, std::int32_t emailCount) {
    std::lock_guard lock(m_mutex);
    m_lastAccuracy = accuracy;
    m_lastEmailCount = emailCount;
}
