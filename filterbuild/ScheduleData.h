#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The ten schedule bytes at the head of timeData.bin, kept as stored: a file
// may hold any value in any of them, and nothing here assumes otherwise.
struct ScheduleBytes {
    std::array<std::uint8_t, 7> days{};  // Monday .. Sunday; non-zero = selected
    std::uint8_t hour = 12;              // 1..12 when written by the panel
    std::uint8_t minute = 0;             // 0..60 when written by the panel
    std::uint8_t pm = 0;                 // 1 = PM, any other value AM
    bool operator==(const ScheduleBytes&) const = default;
};

// Everything timeData.bin holds: 18 bytes, little-endian.
struct ScheduleRecord {
    static constexpr std::size_t kSize = 18;

    ScheduleBytes bytes;
    float lastAccuracy = 0.0f;
    std::int32_t lastEmailCount = 0;
};

// Pure byte conversions, so the layout is tested and fuzzed without files.
// Decoding needs at least 18 bytes and reads only the first 18.
std::optional<ScheduleRecord> decodeScheduleRecord(std::string_view bytes);
std::array<char, ScheduleRecord::kSize> encodeScheduleRecord(const ScheduleRecord& record);

// Minutes since Sunday 00:00 of each weekday's build time, Sunday first; -1
// for a day that is not selected. Out-of-range hours and minutes are plain
// arithmetic here (the largest possible value is far inside 32 bits).
std::array<std::int32_t, 7> computeScheduleTimes(const ScheduleBytes& bytes);

// The build panel's accuracy text for a stored result, with its \r\n breaks.
std::string accuracyText(float lastAccuracy, std::int32_t lastEmailCount);

// The weekly build schedule, the pending build request and the last build's
// result. One object per process: the proxy thread asks isBuildDue, the build
// thread stores results, the window thread's panel loads and saves. A mutex
// keeps each reader from seeing half of another thread's update.
class ScheduleData {
  public:
    static constexpr const char* kDefaultFileName = "timeData.bin";
    // A build time stays due for its own minute and this many after it.
    static constexpr int kDueWindowMinutes = 5;
    static constexpr int kMinutesPerWeek = 7 * 24 * 60;

    // Loads the file if it can; the last result then starts at 0 and 0 all
    // the same, since the panel reloads the file to show the stored result.
    explicit ScheduleData(std::string fileName = kDefaultFileName);
    ScheduleData(const ScheduleData&) = delete;
    ScheduleData& operator=(const ScheduleData&) = delete;

    // Reads the file into `bytes` and into this object (all but the build
    // request). False, with nothing changed, when the file cannot be opened,
    // is not a regular file, or holds fewer than 18 bytes.
    bool loadSchedule(ScheduleBytes& bytes);
    // Writes the file from `bytes` and this object's last result, then takes
    // `bytes` as the schedule. False, with nothing changed, when the file
    // cannot be written. The bytes go to a temporary file that is renamed over
    // the old one, so a failed save never leaves a torn file behind.
    bool saveSchedule(const ScheduleBytes& bytes);
    bool saveCurrentSchedule();

    // Whether a build is due at the local time now; `requested` tells whether
    // that is because of a pending build request.
    bool isBuildDue(bool& requested) const;

    std::array<std::int32_t, 7> scheduleTimes() const;
    ScheduleBytes bytes() const;
    float lastAccuracy() const;
    std::int32_t lastEmailCount() const;
    void setResult(float accuracy, std::int32_t emailCount);

    bool buildNowPending() const { return m_buildNowPending.load(); }
    void setBuildNowPending(bool pending) { m_buildNowPending.store(pending); }

    const std::string& fileName() const { return m_fileName; }

  private:
    const std::string m_fileName;
    mutable std::mutex m_mutex;
    ScheduleBytes m_bytes;                                            // guarded by m_mutex
    std::array<std::int32_t, 7> m_times{-1, -1, -1, -1, -1, -1, -1};  // guarded by m_mutex
    float m_lastAccuracy = 0.0f;                                      // guarded by m_mutex
    std::int32_t m_lastEmailCount = 0;                                // guarded by m_mutex
    std::atomic<bool> m_buildNowPending{false};
};
