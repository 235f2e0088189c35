#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filterbuild/AutoFilterBuilder.h"
#include "filterbuild/ScheduleData.h"
#include "desktop/BuildReporter.h"
#include "rating/BayesFilter.h"
#include "support/MailCorpus.h"
#include "support/StoreFixture.h"

// A reporter that keeps everything it is told, and can act when a stage begins
// (cancel, pull the store away, throw).
class LoggingReporter : public BuildReporter {
  public:
    void setPassText(const std::string& text) override { lines.push_back("pass " + text); }
    void setStageText(const std::string& text) override {
        lines.push_back("stage " + text);
        if (onStage) {
            onStage(text);
        }
    }
    void setRange(int low, int high) override { ranges.emplace_back(low, high); }
    void setPosition(int position) override {
        positions.push_back(position);
        if (onPosition) {
            onPosition(position);
        }
    }

    std::vector<std::string> lines;
    std::vector<std::pair<int, int>> ranges;
    std::vector<int> positions;
    std::function<void(const std::string&)> onStage;
    std::function<void(int)> onPosition;
};

// A store, a filter, a schedule and a builder in a fresh working directory.
class BuildFixture : public StoreFixture {
  protected:
    BayesFilter& filter() { return m_filter; }
    ScheduleData& schedule() { return *m_schedule; }
    AutoFilterBuilder& builder() { return m_builder; }

    // Stores a text as the proxy would record it and returns its index number.
    int storeText(std::string_view folder, const std::string& text);
    void storeTexts(std::string_view folder, const std::vector<std::string>& texts);
    int count(std::string_view folder) { return db().emailCount(folder); }
    std::vector<int> indexes(std::string_view folder) { return db().emailIndexes(folder); }
    std::string textOf(std::string_view folder, int index);

    // Runs the build as the builder's dialog would, through the recording desktop.
    void runBuild() { desktop().runBuilderDialog(m_builder); }
    // The recorded "pass …" and "stage …" lines, in order.
    std::vector<std::string> passAndStageLines();

    BayesFilter m_filter{db(), desktop()};
    std::unique_ptr<ScheduleData> m_schedule = std::make_unique<ScheduleData>();
    AutoFilterBuilder m_builder{db(), m_filter, *m_schedule, desktop()};
};

// Synthetic mail with two vocabularies that a table built from a few dozen
// of each tells apart with certainty; variant `i` shuffles the word order.
std::string hamText(int i);
std::string spamText(int i);
// A text of words that occur in no other text: the filter knows none of its
// tokens and rates it 0.5, so it is a candidate in every folder.
std::string unknownText(int i);
std::vector<std::string> texts(std::string (*make)(int), int first, int count);

// The public mail corpus, as the proxy records it: CR LF line ends, the
// terminating ".\r\n" line, cut to 4,999 bytes. Empty, with the test failed,
// when it is missing.
std::vector<std::string> corpusMessages(const std::string& kind, std::size_t first,
                                        std::size_t count);

// Pins the local clock to a January 2024 day (the 1st is a Monday, the 7th a
// Sunday) at the given hour and minute.
void pinLocalTime(int dayOfMonth, int hour, int minute);

// The 18 bytes of timeData.bin, or fewer if the file is short or missing.
std::string scheduleFileBytes();
