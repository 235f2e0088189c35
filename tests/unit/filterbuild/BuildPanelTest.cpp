// The build panel: what it shows when it opens, the Build Now toggle, the
// filter switch and the state byte, and the checks OK makes before it saves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <string>

#include "BuildTestSupport.h"
#include "filterbuild/BuildPanel.h"
#include "diag/Error.h"
#include "rating/TokenHash.h"
#include "rating/TokenProbabilityTable.h"

namespace {

const std::string kHourMessage = "Must Enter integer between 1 and 12 for hour";
const std::string kMinuteMessage = "Must Enter integer between 0 and 60 for minute";
constexpr std::array<bool, 7> kNoDays{};

class BuildPanelTest : public BuildFixture {
  protected:
    void withTable() {
        TokenProbabilityTable table;
        table.store(tokenKey("alpha beta gamma"), tokenCheck("alpha beta gamma"), 0.99f);
        ASSERT_TRUE(table.save());
        filter().load();
        ASSERT_TRUE(filter().tablePresent());
    }
    int statusLines(const std::string& text) {
        const auto calls = desktop().calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), "status Bayes " + text));
    }

    BuildPanel m_panel{schedule(), filter(), db()};
};

std::string littleEndian(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
}

}  // namespace

// ---- opening ----

TEST_F(BuildPanelTest, OpensWithTwelveAmAndNoDaysWithoutAFile) {
    db().setHarrowgleamState(4);
    m_panel.open();
    EXPECT_EQ(m_panel.hourText(), "12");
    EXPECT_EQ(m_panel.minuteText(), "0");
    EXPECT_EQ(m_panel.amPmIndex(), BuildPanel::kAm);
    EXPECT_EQ(m_panel.dayChecks(), kNoDays);
    EXPECT_EQ(m_panel.accuracyText(), "Filter's Accuracy:\r\n 0.00% for 0 emails.");
    EXPECT_EQ(m_panel.buildRequestText(), "OFF");
    EXPECT_EQ(m_panel.filterButtonText(), "Filter OFF");
    EXPECT_FALSE(filter().isEnabled());
    EXPECT_EQ(desktop().calls().back(), "status Bayes BAYES OFF");
}

TEST_F(BuildPanelTest, OpensWithTheStoredScheduleResultAndFilterState) {
    // Tuesday and Saturday at 9:05 PM, 97.12% of 520, written before this start.
    writeWholeFile("timeData.bin", std::string("\x00\x01\x00\x00\x00\x01\x00\x09\x05\x01", 10) +
                                       littleEndian(std::bit_cast<std::uint32_t>(0.9712f)) +
                                       littleEndian(520));
    db().setHarrowgleamState(5);
    m_panel.open();
    EXPECT_EQ(m_panel.hourText(), "9");
    EXPECT_EQ(m_panel.minuteText(), "5");
    EXPECT_EQ(m_panel.amPmIndex(), BuildPanel::kPm);
    EXPECT_EQ(m_panel.dayChecks(),
              (std::array<bool, 7>{false, true, false, false, false, true, false}));
    EXPECT_EQ(m_panel.accuracyText(), "Filter's Accuracy:\r\n 97.12% for 520 emails.");
    EXPECT_EQ(m_panel.filterButtonText(), "Filter ON");
    EXPECT_TRUE(filter().isEnabled());
    EXPECT_EQ(desktop().calls().back(), "status Bayes BAYES ON");
}

TEST_F(BuildPanelTest, OnlyAStoredOneMeansPm) {
    writeWholeFile("timeData.bin", std::string("\x01\x00\x00\x00\x00\x00\x00\x0c\x00\x07", 10) +
                                       std::string(8, '\0'));
    m_panel.open();
    EXPECT_EQ(m_panel.amPmIndex(), BuildPanel::kAm);
    EXPECT_EQ(m_panel.hourText(), "12");
}

// ---- Build Now ----

TEST_F(BuildPanelTest, BuildNowTogglesAndOpeningTurnsItOff) {
    m_panel.open();
    m_panel.pressBuildNow();
    EXPECT_EQ(m_panel.buildRequestText(), "ON - Builds on Exit");
    m_panel.pressBuildNow();
    EXPECT_EQ(m_panel.buildRequestText(), "OFF");
    m_panel.pressBuildNow();
    m_panel.open();
    EXPECT_EQ(m_panel.buildRequestText(), "OFF");
    EXPECT_FALSE(schedule().buildNowPending()) << "only OK passes the request on";
}

TEST_F(BuildPanelTest, OkPassesTheRequestOnEvenWhenTheFieldsAreWrong) {
    m_panel.open();
    m_panel.pressBuildNow();
    EXPECT_EQ(m_panel.pressOk(kNoDays, "13", "0", 0), kHourMessage);
    EXPECT_TRUE(schedule().buildNowPending());
    EXPECT_FALSE(std::filesystem::exists("timeData.bin"));

    schedule().setBuildNowPending(false);
    m_panel.open();
    EXPECT_EQ(m_panel.pressOk(kNoDays, "1", "0", 0), std::nullopt);
    EXPECT_FALSE(schedule().buildNowPending());
}

// ---- OK ----

TEST_F(BuildPanelTest, OkSavesTheFieldsAndTakesMinuteSixty) {
    m_panel.open();
    const std::array<bool, 7> days{true, false, true, false, false, false, false};
    EXPECT_EQ(m_panel.pressOk(days, "11", "60", BuildPanel::kPm), std::nullopt);
    EXPECT_EQ(scheduleFileBytes().substr(0, 10),
              std::string("\x01\x00\x01\x00\x00\x00\x00\x0b\x3c\x01", 10));
    const std::int32_t m = 23 * 60 + 60;
    EXPECT_EQ(schedule().scheduleTimes(),
              (std::array<std::int32_t, 7>{-1, 1440 + m, -1, 4320 + m, -1, -1, -1}));

    BuildPanel again(schedule(), filter(), db());
    again.open();
    EXPECT_EQ(again.dayChecks(), days);
    EXPECT_EQ(again.hourText(), "11");
    EXPECT_EQ(again.minuteText(), "60");
    EXPECT_EQ(again.amPmIndex(), BuildPanel::kPm);
}

TEST_F(BuildPanelTest, OkRefusesBadHoursAndMinutesAndSavesNothing) {
    struct Case {
        const char* hour;
        const char* minute;
        const std::string& message;
    };
    const Case cases[] = {
        {"0", "30", kHourMessage},
        {"13", "30", kHourMessage},
        {"", "30", kHourMessage},
        {"abc", "30", kHourMessage},
        {"7x", "30", kHourMessage},
        {"1 2", "30", kHourMessage},
        {"99999999999", "30", kHourMessage},
        {"-1", "30", kHourMessage},
        {"7", "61", kMinuteMessage},
        {"7", "-1", kMinuteMessage},
        {"7", "", kMinuteMessage},
        {"7", "3.5", kMinuteMessage},
        {"13", "61", kHourMessage},
    };
    m_panel.open();
    for (const Case& c : cases) {
        EXPECT_EQ(m_panel.pressOk({true, true, true, true, true, true, true}, c.hour, c.minute, 0),
                  c.message)
            << '"' << c.hour << "\" \"" << c.minute << '"';
    }
    EXPECT_FALSE(std::filesystem::exists("timeData.bin"));
    EXPECT_EQ(schedule().scheduleTimes(),
              (std::array<std::int32_t, 7>{-1, -1, -1, -1, -1, -1, -1}));
}

TEST_F(BuildPanelTest, NumbersMayHaveBlanksAndASign) {
    EXPECT_EQ(parseFieldInteger(" 7 "), 7);
    EXPECT_EQ(parseFieldInteger("+5"), 5);
    EXPECT_EQ(parseFieldInteger("-3"), -3);
    EXPECT_EQ(parseFieldInteger("012"), 12);
    EXPECT_EQ(parseFieldInteger("+"), std::nullopt);
    EXPECT_EQ(parseFieldInteger("  "), std::nullopt);
    EXPECT_EQ(parseFieldInteger("0x1"), std::nullopt);
    m_panel.open();
    EXPECT_EQ(m_panel.pressOk(kNoDays, " 7 ", "+5", 0), std::nullopt);
    EXPECT_EQ(schedule().bytes().hour, 7);
    EXPECT_EQ(schedule().bytes().minute, 5);
}

// ---- the filter switch ----

TEST_F(BuildPanelTest, FilterButtonSwitchesOffAndClearsOnlyBitZero) {
    db().setHarrowgleamState(7);
    m_panel.open();
    EXPECT_EQ(m_panel.pressFilterButton(), std::nullopt);
    EXPECT_EQ(m_panel.filterButtonText(), "Filter OFF");
    EXPECT_FALSE(filter().isEnabled());
    EXPECT_EQ(db().getHarrowgleamState(), 6);
    EXPECT_EQ(desktop().calls().back(), "status Bayes BAYES OFF");

    // The change holds without OK: the next opening reads it back.
    BuildPanel again(schedule(), filter(), db());
    again.open();
    EXPECT_EQ(again.filterButtonText(), "Filter OFF");
}

TEST_F(BuildPanelTest, FilterButtonSwitchesOnWhenATableExists) {
    withTable();
    db().setHarrowgleamState(6);
    m_panel.open();
    EXPECT_EQ(m_panel.pressFilterButton(), std::nullopt);
    EXPECT_EQ(m_panel.filterButtonText(), "Filter ON");
    EXPECT_TRUE(filter().isEnabled());
    EXPECT_EQ(db().getHarrowgleamState(), 7);
    EXPECT_EQ(desktop().calls().back(), "status Bayes BAYES ON");
}

TEST_F(BuildPanelTest, FilterButtonWithoutATableChangesNothing) {
    db().setHarrowgleamState(2);
    m_panel.open();
    const int offLines = statusLines("BAYES OFF");
    EXPECT_EQ(m_panel.pressFilterButton(), "Must Create a Filter First");
    EXPECT_EQ(m_panel.filterButtonText(), "Filter OFF");
    EXPECT_FALSE(filter().isEnabled());
    EXPECT_EQ(db().getHarrowgleamState(), 2);
    EXPECT_EQ(statusLines("BAYES OFF"), offLines);
    EXPECT_EQ(statusLines("BAYES ON"), 0);
}

TEST_F(BuildPanelTest, AStoreFailureLeavesTheFilterSwitchAsItWas) {
    withTable();
    for (const int state : {5, 4}) {
        db().setHarrowgleamState(static_cast<unsigned char>(state));
        m_panel.open();
        const bool wasOn = filter().isEnabled();
        const std::string button = m_panel.filterButtonText();
        const auto statusCalls = desktop().calls().size();
        ASSERT_EQ(std::rename("HGIndex.hgd", "elsewhere.hgd"), 0);
        EXPECT_THROW(m_panel.pressFilterButton(), CError);
        ASSERT_EQ(std::rename("elsewhere.hgd", "HGIndex.hgd"), 0);
        EXPECT_EQ(filter().isEnabled(), wasOn);
        EXPECT_EQ(m_panel.filterButtonText(), button);
        EXPECT_EQ(db().getHarrowgleamState(), state);
        EXPECT_EQ(desktop().calls().size(), statusCalls) << "no status pane change";
    }
}

// ---- a schedule that cannot be written ----

TEST_F(BuildPanelTest, OkSaysSoAndStaysOpenWhenTheFileCannotBeWritten) {
    m_panel.open();
    std::filesystem::create_directory("timeData.bin");
    EXPECT_EQ(m_panel.pressOk({true, false, false, false, false, false, false}, "3", "15",
                              BuildPanel::kPm),
              "Can't Save the Schedule to \"timeData.bin\"");
    EXPECT_EQ(schedule().scheduleTimes(),
              (std::array<std::int32_t, 7>{-1, -1, -1, -1, -1, -1, -1}));

    std::filesystem::remove("timeData.bin");
    EXPECT_EQ(m_panel.pressOk({true, false, false, false, false, false, false}, "3", "15",
                              BuildPanel::kPm),
              std::nullopt);
    EXPECT_EQ(schedule().scheduleTimes()[1], 1440 + 15 * 60 + 15);
}
