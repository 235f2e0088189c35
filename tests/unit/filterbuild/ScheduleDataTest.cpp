// The build schedule: timeData.bin's bytes, the weekly build times, when a
// build is due, and files that are missing, short, long or hostile.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>

#include "BuildTestSupport.h"
#include "filterbuild/ScheduleData.h"
#include "platform/Clock.h"
#include "support/TempDirectory.h"

namespace {

// January 2024: the 1st is a Monday.
constexpr int kMonday = 1;
constexpr int kTuesday = 2;
constexpr int kSaturday = 6;
constexpr int kSunday = 7;

const std::string kFile = ScheduleData::kDefaultFileName;

// Days Monday = 0 .. Sunday = 6.
ScheduleBytes schedule(std::initializer_list<int> days, int hour, int minute, bool pm) {
    ScheduleBytes bytes;
    for (const int day : days) {
        bytes.days[static_cast<std::size_t>(day)] = 1;
    }
    bytes.hour = static_cast<std::uint8_t>(hour);
    bytes.minute = static_cast<std::uint8_t>(minute);
    bytes.pm = pm ? 1 : 0;
    return bytes;
}

std::string littleEndian(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
}

class ScheduleDataTest : public ::testing::Test {
  protected:
    void TearDown() override { platform::setFixedTime(std::nullopt); }

    bool dueAt(ScheduleData& data, int day, int hour, int minute) {
        pinLocalTime(day, hour, minute);
        bool requested = true;
        const bool due = data.isBuildDue(requested);
        EXPECT_FALSE(requested);
        return due;
    }

    TempDirectory m_directory;
};

constexpr std::array<std::int32_t, 7> kNoTimes = {-1, -1, -1, -1, -1, -1, -1};

}  // namespace

// ---- the file ----

TEST_F(ScheduleDataTest, MissingFileMeansNoBuildTimesAndAZeroResult) {
    ScheduleData data;
    EXPECT_EQ(data.scheduleTimes(), kNoTimes);
    EXPECT_EQ(data.lastAccuracy(), 0.0f);
    EXPECT_EQ(data.lastEmailCount(), 0);
    EXPECT_EQ(data.bytes(), ScheduleBytes{});
    EXPECT_FALSE(data.buildNowPending());

    ScheduleBytes out = schedule({2}, 7, 7, true);
    EXPECT_FALSE(data.loadSchedule(out));
    EXPECT_EQ(out, schedule({2}, 7, 7, true)) << "a failed load hands nothing back";
    EXPECT_EQ(accuracyText(data.lastAccuracy(), data.lastEmailCount()),
              "Filter's Accuracy:\r\n 0.00% for 0 emails.");
    EXPECT_FALSE(dueAt(data, kMonday, 12, 0));
}

TEST_F(ScheduleDataTest, SavedFileIsTheEighteenBytesAndLoadsBack) {
    ScheduleData data;
    data.setResult(0.9712f, 520);
    ASSERT_TRUE(data.saveSchedule(schedule({0, 6}, 3, 7, true)));
    const std::string expected = std::string("\x01\x00\x00\x00\x00\x00\x01\x03\x07\x01", 10) +
                                 littleEndian(std::bit_cast<std::uint32_t>(0.9712f)) +
                                 littleEndian(520);
    EXPECT_EQ(scheduleFileBytes(), expected);
    EXPECT_FALSE(std::filesystem::exists(kFile + ".part"));

    // A new start takes the schedule but not the result, which the panel loads.
    ScheduleData restarted;
    EXPECT_EQ(restarted.bytes(), schedule({0, 6}, 3, 7, true));
    EXPECT_EQ(restarted.scheduleTimes()[0], 15 * 60 + 7);
    EXPECT_EQ(restarted.scheduleTimes()[1], 1440 + 15 * 60 + 7);
    EXPECT_EQ(restarted.lastAccuracy(), 0.0f);
    EXPECT_EQ(restarted.lastEmailCount(), 0);

    ScheduleBytes out;
    ASSERT_TRUE(restarted.loadSchedule(out));
    EXPECT_EQ(out, schedule({0, 6}, 3, 7, true));
    EXPECT_EQ(restarted.lastAccuracy(), 0.9712f);
    EXPECT_EQ(restarted.lastEmailCount(), 520);
    EXPECT_EQ(accuracyText(restarted.lastAccuracy(), restarted.lastEmailCount()),
              "Filter's Accuracy:\r\n 97.12% for 520 emails.");
}

TEST_F(ScheduleDataTest, SavingTheCurrentScheduleWritesTheNewResult) {
    ScheduleData data;
    ASSERT_TRUE(data.saveSchedule(schedule({4}, 9, 30, false)));
    data.setResult(0.5f, -1);
    ASSERT_TRUE(data.saveCurrentSchedule());
    const std::string bytes = scheduleFileBytes();
    ASSERT_EQ(bytes.size(), 18u);
    EXPECT_EQ(bytes.substr(0, 10), std::string("\x00\x00\x00\x00\x01\x00\x00\x09\x1e\x00", 10));
    EXPECT_EQ(bytes.substr(10),
              littleEndian(std::bit_cast<std::uint32_t>(0.5f)) + littleEndian(0xFFFFFFFFu));
}

TEST_F(ScheduleDataTest, AccuracyTexts) {
    EXPECT_EQ(accuracyText(0.0f, -1),
              "Filter Can't Be Built:\r\nYou must supply 10 or more emails to\r\n the folders "
              "\"Store Good\" and \"Store Bad\" each.");
    EXPECT_EQ(accuracyText(0.97f, 200), "Filter's Accuracy:\r\n 97.00% for 200 emails.");
    EXPECT_EQ(accuracyText(1.0f, 7), "Filter's Accuracy:\r\n 100.00% for 7 emails.");
}

// ---- build times and when they are due ----

TEST_F(ScheduleDataTest, EachDayLandsOnItsMinuteOfTheWeek) {
    ScheduleData data;
    for (int day = 0; day < 7; ++day) {
        ASSERT_TRUE(data.saveSchedule(schedule({day}, 3, 15, true)));
        const std::size_t slot = static_cast<std::size_t>((day + 1) % 7);  // Sunday first
        const std::array<std::int32_t, 7> times = data.scheduleTimes();
        for (std::size_t s = 0; s < 7; ++s) {
            EXPECT_EQ(times[s], s == slot ? static_cast<std::int32_t>(s) * 1440 + 915 : -1)
                << "day " << day << " slot " << s;
        }
    }
    ASSERT_TRUE(data.saveSchedule(schedule({0}, 3, 15, false)));
    EXPECT_EQ(data.scheduleTimes()[1], 1440 + 195);
}

TEST_F(ScheduleDataTest, MondayAtThreeFifteenPmIsDueForSixMinutes) {
    ScheduleData data;
    ASSERT_TRUE(data.saveSchedule(schedule({0}, 3, 15, true)));
    EXPECT_EQ(data.scheduleTimes()[1], 2355);
    EXPECT_FALSE(dueAt(data, kMonday, 15, 14));
    for (int minute = 15; minute <= 20; ++minute) {
        EXPECT_TRUE(dueAt(data, kMonday, 15, minute)) << minute;
    }
    EXPECT_FALSE(dueAt(data, kMonday, 15, 21));
    EXPECT_FALSE(dueAt(data, kTuesday, 15, 15));
}

TEST_F(ScheduleDataTest, SaturdayMorningIsDueOnSaturdayOnly) {
    ScheduleData data;
    ASSERT_TRUE(data.saveSchedule(schedule({5}, 10, 0, false)));
    EXPECT_FALSE(dueAt(data, kSaturday, 9, 59));
    for (int minute = 0; minute <= 5; ++minute) {
        EXPECT_TRUE(dueAt(data, kSaturday, 10, minute)) << minute;
    }
    EXPECT_FALSE(dueAt(data, kSaturday, 10, 6));
    EXPECT_FALSE(dueAt(data, kSunday, 10, 0));
}

TEST_F(ScheduleDataTest, SaturdayTwelvePmIsTheMidnightThatStartsSunday) {
    ScheduleData data;
    ASSERT_TRUE(data.saveSchedule(schedule({5}, 12, 0, true)));
    EXPECT_EQ(data.scheduleTimes()[6], 10080);
    EXPECT_FALSE(dueAt(data, kSaturday, 12, 0));
    EXPECT_FALSE(dueAt(data, kSaturday, 23, 59));
    for (int minute = 0; minute <= 5; ++minute) {
        EXPECT_TRUE(dueAt(data, kSunday, 0, minute)) << minute;
    }
    EXPECT_FALSE(dueAt(data, kSunday, 0, 6));
}

TEST_F(ScheduleDataTest, LateSaturdayRunsIntoSundayForTheMinutesLeft) {
    ScheduleData data;
    ASSERT_TRUE(data.saveSchedule(schedule({5}, 11, 57, true)));
    EXPECT_EQ(data.scheduleTimes()[6], 10077);
    EXPECT_TRUE(dueAt(data, kSaturday, 23, 57));
    EXPECT_TRUE(dueAt(data, kSaturday, 23, 59));
    EXPECT_TRUE(dueAt(data, kSunday, 0, 0));
    EXPECT_TRUE(dueAt(data, kSunday, 0, 2));
    EXPECT_FALSE(dueAt(data, kSunday, 0, 3));
}

TEST_F(ScheduleDataTest, TwelveAmIsNoon) {
    ScheduleData data;
    ASSERT_TRUE(data.saveSchedule(schedule({1}, 12, 0, false)));
    EXPECT_EQ(data.scheduleTimes()[2], 2880 + 720);
    EXPECT_TRUE(dueAt(data, kTuesday, 12, 0));
    EXPECT_FALSE(dueAt(data, kTuesday, 0, 0));
}

TEST_F(ScheduleDataTest, ARequestedBuildIsDueAtAnyTime) {
    ScheduleData data;
    pinLocalTime(kMonday, 4, 44);
    data.setBuildNowPending(true);
    bool requested = false;
    EXPECT_TRUE(data.isBuildDue(requested));
    EXPECT_TRUE(requested);
    data.setBuildNowPending(false);
    EXPECT_FALSE(data.isBuildDue(requested));
    EXPECT_FALSE(requested);
}

// ---- files that are not what they should be ----

TEST_F(ScheduleDataTest, ShortFilesLoadAsMissingAndChangeNothing) {
    ScheduleData data;
    data.setResult(0.5f, 10);
    ASSERT_TRUE(data.saveSchedule(schedule({0}, 3, 15, true)));
    const std::string good = scheduleFileBytes();
    for (const std::size_t size : {0u, 1u, 10u, 14u, 17u}) {
        writeWholeFile(kFile, std::string(size, '\x02'));
        ScheduleBytes out = schedule({3}, 1, 1, false);
        EXPECT_FALSE(data.loadSchedule(out)) << size;
        EXPECT_EQ(out, schedule({3}, 1, 1, false));
        EXPECT_EQ(data.bytes(), schedule({0}, 3, 15, true));
        EXPECT_EQ(data.scheduleTimes()[1], 2355);
        EXPECT_EQ(data.lastAccuracy(), 0.5f);
        EXPECT_EQ(data.lastEmailCount(), 10);
    }
    writeWholeFile(kFile, good.substr(0, 17));
    ScheduleData restarted;
    EXPECT_EQ(restarted.scheduleTimes(), kNoTimes);
}

TEST_F(ScheduleDataTest, LongFilesAreReadForTheirFirstEighteenBytes) {
    ScheduleData writer;
    writer.setResult(0.25f, 42);
    ASSERT_TRUE(writer.saveSchedule(schedule({2}, 6, 45, true)));
    writeWholeFile(kFile, scheduleFileBytes() + std::string(1000, '\xEE'));

    ScheduleData data;
    ScheduleBytes out;
    ASSERT_TRUE(data.loadSchedule(out));
    EXPECT_EQ(out, schedule({2}, 6, 45, true));
    EXPECT_EQ(data.lastAccuracy(), 0.25f);
    EXPECT_EQ(data.lastEmailCount(), 42);
}

TEST_F(ScheduleDataTest, OutOfRangeBytesAreTakenAsStored) {
    // Every byte 0xFF: all days, hour and minute 255, AM (only 1 is PM), a NaN
    // accuracy and a count of -1.
    writeWholeFile(kFile, std::string(18, '\xFF'));
    ScheduleData data;
    const std::int32_t m = 255 * 60 + 255;
    for (std::size_t slot = 0; slot < 7; ++slot) {
        EXPECT_EQ(data.scheduleTimes()[slot], static_cast<std::int32_t>(slot) * 1440 + m);
    }
    ScheduleBytes out;
    ASSERT_TRUE(data.loadSchedule(out));
    EXPECT_EQ(out.pm, 0xFF);
    EXPECT_TRUE(std::isnan(data.lastAccuracy()));
    EXPECT_EQ(data.lastEmailCount(), -1);
    EXPECT_TRUE(
        accuracyText(data.lastAccuracy(), data.lastEmailCount()).starts_with("Filter Can't"));
    EXPECT_TRUE(accuracyText(data.lastAccuracy(), 3).starts_with("Filter's Accuracy:\r\n "));

    // Hour 200 PM on a Saturday: far past the week's end, so the wrap rule
    // (plain arithmetic) finds it due at every minute.
    ScheduleBytes hostile = schedule({5}, 200, 0, true);
    ASSERT_TRUE(data.saveSchedule(hostile));
    EXPECT_EQ(data.scheduleTimes()[6], 8640 + 212 * 60);
    EXPECT_TRUE(dueAt(data, kMonday, 12, 0));
}

TEST_F(ScheduleDataTest, RandomFilesNeverBreakLoadingOrTheDueCheck) {
    std::mt19937 random(20240101);
    ScheduleData data;
    pinLocalTime(kSunday, 0, 3);
    for (int round = 0; round < 400; ++round) {
        std::string bytes(random() % 41, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random() & 0xFF);
        }
        writeWholeFile(kFile, bytes);
        ScheduleBytes out;
        const bool loaded = data.loadSchedule(out);
        ASSERT_EQ(loaded, bytes.size() >= 18) << bytes.size();
        if (loaded) {
            const std::array<std::int32_t, 7> times = data.scheduleTimes();
            for (std::size_t day = 0; day < 7; ++day) {
                EXPECT_EQ(out.days[day], static_cast<std::uint8_t>(bytes[day]));
                EXPECT_EQ(times[(day + 1) % 7] == -1, bytes[day] == 0);
            }
            EXPECT_EQ(out.hour, static_cast<std::uint8_t>(bytes[7]));
        }
        bool requested = false;
        data.isBuildDue(requested);
        accuracyText(data.lastAccuracy(), data.lastEmailCount());
    }
}

TEST_F(ScheduleDataTest, NonRegularFilesLoadAsMissing) {
    ASSERT_EQ(::mkfifo(kFile.c_str(), 0600), 0);
    ScheduleData fromFifo;  // must not wait for a writer
    ScheduleBytes out;
    EXPECT_FALSE(fromFifo.loadSchedule(out));
    std::filesystem::remove(kFile);

    std::filesystem::create_directory(kFile);
    ScheduleData data;
    EXPECT_FALSE(data.loadSchedule(out));
    // Saving cannot replace a directory: nothing changes, nothing is left behind.
    EXPECT_FALSE(data.saveSchedule(schedule({0}, 3, 15, true)));
    EXPECT_EQ(data.scheduleTimes(), kNoTimes);
    EXPECT_EQ(data.bytes(), ScheduleBytes{});
    EXPECT_FALSE(std::filesystem::exists(kFile + ".part"));
}

TEST_F(ScheduleDataTest, RecordsEncodeAndDecodeAlike) {
    ScheduleRecord record;
    record.bytes = schedule({1, 3, 5}, 11, 59, true);
    record.lastAccuracy = 0.123f;
    record.lastEmailCount = -7;
    const auto encoded = encodeScheduleRecord(record);
    const auto decoded = decodeScheduleRecord(std::string_view(encoded.data(), encoded.size()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->bytes, record.bytes);
    EXPECT_EQ(decoded->lastAccuracy, record.lastAccuracy);
    EXPECT_EQ(decoded->lastEmailCount, record.lastEmailCount);
    EXPECT_FALSE(decodeScheduleRecord(std::string_view(encoded.data(), 17)));
}
