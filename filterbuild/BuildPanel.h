#pragma once

#include <array>
#include <optional>
#include <string>

#include "filterbuild/ScheduleData.h"

class BayesFilter;
class CDatabase;

// What the build panel does, without its widgets: the Qt panel shows these
// texts in its controls and forwards its buttons here, and tests drive it
// directly. Runs on the window thread while that thread holds the operation
// semaphore, so no build changes the schedule meanwhile. Store failures
// (CError) from the state byte pass through to the caller, which shows them.
class BuildPanel {
  public:
    static constexpr int kAm = 0;
    static constexpr int kPm = 1;

    BuildPanel(ScheduleData& schedule, BayesFilter& filter, CDatabase& database);

    // Sets the filter switch from the state byte (status pane updated), loads
    // the schedule and fills the controls from it, turns the build request off.
    void open();

    std::string hourText() const { return m_hourText; }
    std::string minuteText() const { return m_minuteText; }
    int amPmIndex() const { return m_amPmIndex; }
    std::array<bool, 7> dayChecks() const { return m_dayChecks; }  // Monday .. Sunday
    std::string accuracyText() const { return m_accuracyText; }
    std::string buildRequestText() const;
    std::string filterButtonText() const;
    bool buildRequested() const { return m_buildRequested; }

    void pressBuildNow();
    // Switches the filter at once, whether the panel is then left with OK or
    // Cancel; returns the message to show when it cannot be switched on. A
    // store failure (CError) passes through with nothing switched.
    std::optional<std::string> pressFilterButton();
    // OK with what the user has in the controls. nullopt: the schedule was
    // saved and the panel closes; otherwise the message to show (a field the
    // user must correct, or a file that cannot be written), with the panel left
    // open and nothing saved. A requested build is pending either way.
    std::optional<std::string> pressOk(const std::array<bool, 7>& days, const std::string& hourText,
                                       const std::string& minuteText, int amPmIndex);

  private:
    ScheduleData& m_schedule;
    BayesFilter& m_filter;
    CDatabase& m_database;

    ScheduleBytes m_bytes;
    std::string m_hourText = "12";
    std::string m_minuteText = "0";
    int m_amPmIndex = kAm;
    std::array<bool, 7> m_dayChecks{};
    std::string m_accuracyText;
    bool m_buildRequested = false;
    bool m_filterShownOn = false;
};

// The panel's reading of a number field: optional blanks around an optionally
// signed run of decimal digits that fits an int; anything else is not a number.
std::optional<int> parseFieldInteger(const std::string& text);
