// The multi-pass build: too little mail, picks per pass and per folder, pick
// order, the way into the final pass, the doubled training emails, the
// accuracy figure, cancelling, and failures in the middle of a build.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "BuildTestSupport.h"
#include "filterbuild/BuildPanel.h"
#include "rating/TokenHash.h"
#include "rating/TokenProbabilityTable.h"
#include "store/Folder.h"

namespace {

constexpr std::string_view kBad = folderKey(Folder::Bad);
constexpr std::string_view kGood = folderKey(Folder::Good);
constexpr std::string_view kStoreBad = folderKey(Folder::StoreBad);
constexpr std::string_view kStoreGood = folderKey(Folder::StoreGood);

// The four folders' counts when a stage began, with the picks of that moment.
struct Snapshot {
    std::string stage;
    int goodA;
    int badA;
    int goodB;
    int badB;
    std::vector<std::int32_t> goodPicks;
    std::vector<std::int32_t> badPicks;
};

class AutoFilterBuilderTest : public BuildFixture {
  protected:
    Snapshot snapshot(const std::string& stage) {
        return {stage,
                count(kGood),
                count(kBad),
                count(kStoreGood),
                count(kStoreBad),
                builder().goodPicks(),
                builder().badPicks()};
    }
    // Runs the build with a reporter that snapshots the folders at each stage.
    std::vector<Snapshot> runWithSnapshots(LoggingReporter& reporter) {
        std::vector<Snapshot> snapshots;
        reporter.onStage = [&](const std::string& stage) { snapshots.push_back(snapshot(stage)); };
        builder().opened();
        builder().run(reporter);
        snapshots.push_back(snapshot("(end)"));
        return snapshots;
    }
    // A table in which each text "ra<i> rb<i> rc<i>" rates exactly p.
    std::vector<std::string> ratedTexts(const std::vector<float>& ratings) {
        TokenProbabilityTable table;
        std::vector<std::string> list;
        for (std::size_t i = 0; i < ratings.size(); ++i) {
            const std::string id = std::to_string(i);
            const std::string words = "ra" + id + " rb" + id + " rc" + id;
            table.store(tokenKey(words), tokenCheck(words), ratings[i]);
            list.push_back(words + "\r\n");
        }
        EXPECT_TRUE(table.save());
        filter().load();
        return list;
    }
    bool resultSaved() { return std::filesystem::exists(ScheduleData::kDefaultFileName); }
    std::string errorLog() { return readWholeFile("ErrorLog.txt"); }
};

std::vector<std::string> linesOf(std::initializer_list<const char*> lines) {
    return {lines.begin(), lines.end()};
}

const std::vector<std::string> kStraightToFinal = linesOf({
    "pass Pass 1 of 4",
    "stage Building Filter",
    "stage Testing Emails",
    "pass Pass 4 of 4",
    "stage Building Filter",
    "stage Final Filter Build",
    "stage Evaluating Filter's Accuracy",
    "stage Build Complete",
});

}  // namespace

// ---- too little mail ----

TEST_F(AutoFilterBuilderTest, TooFewGoodEmailsBuildNothingAndThePanelSaysSo) {
    storeTexts(kGood, texts(hamText, 0, 8));
    storeTexts(kStoreGood, texts(hamText, 8, 1));
    storeTexts(kBad, texts(spamText, 0, 30));
    storeTexts(kStoreBad, texts(spamText, 30, 30));
    runBuild();
    EXPECT_EQ(desktop().calls(), linesOf({"runBuilderDialog"}));
    EXPECT_FALSE(filter().tablePresent());
    EXPECT_FALSE(builder().builderRunning());
    EXPECT_TRUE(builder().builderStarted());
    EXPECT_EQ(schedule().lastAccuracy(), 0.0f);
    EXPECT_EQ(schedule().lastEmailCount(), -1);
    EXPECT_EQ(scheduleFileBytes().substr(10), std::string(4, '\0') + std::string(4, '\xFF'));

    BuildPanel panel(schedule(), filter(), db());
    panel.open();
    EXPECT_EQ(panel.accuracyText(),
              "Filter Can't Be Built:\r\nYou must supply 10 or more emails to\r\n the folders "
              "\"Store Good\" and \"Store Bad\" each.");
}

TEST_F(AutoFilterBuilderTest, TenOnEachSideAreEnoughAndNineAreNot) {
    storeTexts(kGood, texts(hamText, 0, 9));
    storeTexts(kStoreGood, texts(hamText, 9, 1));
    storeTexts(kBad, texts(spamText, 0, 5));
    storeTexts(kStoreBad, texts(spamText, 5, 4));
    runBuild();
    EXPECT_TRUE(passAndStageLines().empty());
    EXPECT_EQ(schedule().lastEmailCount(), -1);

    storeText(kStoreBad, spamText(9));
    desktop().clear();
    runBuild();
    EXPECT_EQ(passAndStageLines(), kStraightToFinal);
    EXPECT_EQ(schedule().lastEmailCount(), 20);
    EXPECT_EQ(schedule().lastAccuracy(), 1.0f);
}

// ---- picks ----

// 20 emails the filter knows nothing of in each store folder: all are
// candidates in every pass, so each pass takes the most it may, 5 and 5. All
// rate 0.5, so the order among equals decides: the oldest good ones go first,
// and the newest bad ones.
TEST_F(AutoFilterBuilderTest, StoreFoldersGiveAtMostFivePicksAPass) {
    storeTexts(kGood, texts(hamText, 0, 20));
    storeTexts(kBad, texts(spamText, 0, 20));
    storeTexts(kStoreGood, texts(unknownText, 0, 20));
    storeTexts(kStoreBad, texts(unknownText, 100, 20));
    const std::vector<int> goodB = indexes(kStoreGood);
    const std::vector<int> badB = indexes(kStoreBad);

    LoggingReporter reporter;
    const std::vector<Snapshot> snapshots = runWithSnapshots(reporter);
    EXPECT_EQ(reporter.lines, linesOf({
                                  "pass Pass 1 of 4",
                                  "stage Building Filter",
                                  "stage Testing Emails",
                                  "stage Moving Emails",
                                  "pass Pass 2 of 4",
                                  "stage Building Filter",
                                  "stage Testing Emails",
                                  "stage Moving Emails",
                                  "pass Pass 3 of 4",
                                  "stage Building Filter",
                                  "stage Testing Emails",
                                  "stage Moving Emails",
                                  "pass Pass 4 of 4",
                                  "stage Building Filter",
                                  "stage Final Filter Build",
                                  "stage Evaluating Filter's Accuracy",
                                  "stage Build Complete",
                              }));
    int moves = 0;
    for (std::size_t i = 0; i + 1 < snapshots.size(); ++i) {
        if (snapshots[i].stage != "Moving Emails") {
            continue;
        }
        const Snapshot& before = snapshots[i];
        const Snapshot& after = snapshots[i + 1];
        const std::vector<int> wantGood(goodB.begin() + 5 * moves, goodB.begin() + 5 * moves + 5);
        const std::vector<int> wantBad(badB.rbegin() + 5 * moves, badB.rbegin() + 5 * moves + 5);
        EXPECT_EQ(before.goodPicks, wantGood) << "pass " << moves + 1;
        EXPECT_EQ(before.badPicks, wantBad) << "pass " << moves + 1;
        EXPECT_EQ(after.goodA, before.goodA + 5);
        EXPECT_EQ(after.goodB, before.goodB - 5);
        EXPECT_EQ(after.badA, before.badA + 5);
        EXPECT_EQ(after.badB, before.badB - 5);
        ++moves;
    }
    EXPECT_EQ(moves, 3);
    EXPECT_EQ(indexes(kStoreGood), std::vector<int>(goodB.end() - 5, goodB.end()));
    EXPECT_EQ(indexes(kStoreBad), std::vector<int>(badB.begin(), badB.begin() + 5));
    for (const int index : std::vector<int>(goodB.begin(), goodB.end() - 5)) {
        EXPECT_FALSE(textOf(kGood, index).empty()) << "moved with its number: " << index;
    }
    const std::vector<std::string> calls = desktop().calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "refreshFolderCounts"), 6);
    EXPECT_EQ(schedule().lastEmailCount(), 80);
}

TEST_F(AutoFilterBuilderTest, NearlyFullTrainingFolderTakesOnlyWhatFits) {
    storeTexts(kGood, texts(hamText, 0, 597));
    storeTexts(kBad, texts(spamText, 0, 20));
    storeTexts(kStoreGood, texts(unknownText, 0, 10));
    storeTexts(kStoreBad, texts(unknownText, 100, 10));
    LoggingReporter reporter;
    const std::vector<Snapshot> snapshots = runWithSnapshots(reporter);
    const auto moving = std::find_if(snapshots.begin(), snapshots.end(),
                                     [](const Snapshot& s) { return s.stage == "Moving Emails"; });
    ASSERT_NE(moving, snapshots.end());
    EXPECT_EQ(moving->goodPicks.size(), 3u);
    EXPECT_EQ(moving->badPicks.size(), 5u);
    // Good Emails is full after the move: the second pass builds and stops.
    EXPECT_EQ(reporter.lines, linesOf({
                                  "pass Pass 1 of 4",
                                  "stage Building Filter",
                                  "stage Testing Emails",
                                  "stage Moving Emails",
                                  "pass Pass 2 of 4",
                                  "stage Building Filter",
                              }));
    EXPECT_EQ(count(kGood), 600);
    EXPECT_EQ(count(kStoreGood), 7);
    EXPECT_EQ(count(kBad), 25);
    EXPECT_EQ(count(kStoreBad), 5);
    EXPECT_TRUE(filter().tablePresent()) << "the filter built last stays";
    EXPECT_FALSE(resultSaved());
}

TEST_F(AutoFilterBuilderTest, TheMostSpamLikeGoodAndTheLeastSpamLikeBadArePicked) {
    const std::vector<float> goodRatings = {0.45f, 0.3f, 0.99f, 0.6f, 0.8f, 0.7f, 0.95f, 0.5f};
    const std::vector<float> badRatings = {0.1f, 0.3f, 0.05f, 0.85f, 0.95f, 0.5f, 0.2f, 0.6f};
    std::vector<float> all = goodRatings;
    all.insert(all.end(), badRatings.begin(), badRatings.end());
    const std::vector<std::string> list = ratedTexts(all);
    std::vector<int> good;
    std::vector<int> bad;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const bool isGood = i < goodRatings.size();
        (isGood ? good : bad).push_back(storeText(isGood ? kStoreGood : kStoreBad, list[i]));
    }

    LoggingReporter reporter;
    int position = 0;
    EXPECT_EQ(builder().testFolder(Folder::StoreGood, reporter, position), 3)
        << "0.8 and up is spam";
    EXPECT_EQ(builder().testFolder(Folder::StoreBad, reporter, position), 6);
    EXPECT_EQ(builder().goodPicks(),
              (std::vector<std::int32_t>{good[2], good[6], good[4], good[5], good[3]}));
    EXPECT_EQ(builder().badPicks(),
              (std::vector<std::int32_t>{bad[2], bad[0], bad[6], bad[1], bad[5]}));
    // One progress counter runs on across both folders.
    EXPECT_EQ(position, 16);
    std::vector<int> counted(16);
    for (int i = 0; i < 16; ++i) {
        counted[static_cast<std::size_t>(i)] = i + 1;
    }
    EXPECT_EQ(reporter.positions, counted);
    EXPECT_FALSE(filter().isEnabled()) << "rated with the filter forced on, left off";

    // A training folder gives two at most; picks are appended to the list.
    for (std::size_t i = 0; i < goodRatings.size(); ++i) {
        storeText(kGood, list[i]);
    }
    const std::vector<int> goodA = indexes(kGood);
    EXPECT_EQ(builder().testFolder(Folder::Good, reporter, position), 3);
    ASSERT_EQ(builder().goodPicks().size(), 7u);
    EXPECT_EQ(builder().goodPicks()[5], goodA[2]);
    EXPECT_EQ(builder().goodPicks()[6], goodA[6]);
    EXPECT_THROW(builder().testFolder(Folder::New, reporter, position), std::invalid_argument);
}

// 0.4 and 0.9 are single-precision limits, and a rating equal to one is no
// candidate; with fewer candidates than picks allowed, every one is taken.
TEST_F(AutoFilterBuilderTest, RatingsAtTheLimitsAreNoCandidates) {
    const std::vector<float> goodRatings = {0.45f, 0.3f, 0.99f, 0.4f, 0.8f, 0.5f};
    const std::vector<float> badRatings = {0.9f, 0.1f, 0.95f, 0.85f, 0.5f, 0.3f};
    std::vector<float> all = goodRatings;
    all.insert(all.end(), badRatings.begin(), badRatings.end());
    const std::vector<std::string> list = ratedTexts(all);
    std::vector<int> good;
    std::vector<int> bad;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const bool isGood = i < goodRatings.size();
        (isGood ? good : bad).push_back(storeText(isGood ? kStoreGood : kStoreBad, list[i]));
    }
    LoggingReporter reporter;
    int position = 0;
    EXPECT_EQ(builder().testFolder(Folder::StoreGood, reporter, position), 2);
    EXPECT_EQ(builder().testFolder(Folder::StoreBad, reporter, position), 3);
    EXPECT_EQ(builder().goodPicks(),
              (std::vector<std::int32_t>{good[2], good[4], good[5], good[0]}));
    EXPECT_EQ(builder().badPicks(), (std::vector<std::int32_t>{bad[1], bad[5], bad[4], bad[3]}));
}

TEST_F(AutoFilterBuilderTest, AnEmailGoneDuringATestIsSkipped) {
    storeTexts(kGood, texts(hamText, 0, 20));
    storeTexts(kBad, texts(spamText, 0, 20));
    LoggingReporter building;
    filter().buildProbabilities(building);
    storeTexts(kStoreGood, texts(unknownText, 0, 4));
    const std::vector<int> goodB = indexes(kStoreGood);
    LoggingReporter reporter;
    reporter.onPosition = [&](int position) {
        if (position == 1) {
            db().deleteEmailHeader(goodB[2], kStoreGood);
        }
    };
    int position = 0;
    EXPECT_EQ(builder().testFolder(Folder::StoreGood, reporter, position), 0);
    EXPECT_EQ(position, 3);
    EXPECT_EQ(builder().goodPicks(), (std::vector<std::int32_t>{goodB[0], goodB[1], goodB[3]}));
}

// ---- the way through the passes ----

TEST_F(AutoFilterBuilderTest, NoPicksInTheFirstPassGoStraightToTheFinalPass) {
    storeTexts(kGood, texts(hamText, 0, 20));
    storeTexts(kBad, texts(spamText, 0, 20));
    storeTexts(kStoreGood, texts(hamText, 20, 10));
    storeTexts(kStoreBad, texts(spamText, 20, 10));
    runBuild();
    EXPECT_EQ(passAndStageLines(), kStraightToFinal);
    const std::vector<std::string> calls = desktop().calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "refreshFolderCounts"), 0);
    EXPECT_EQ(schedule().lastEmailCount(), 60);
    EXPECT_EQ(schedule().lastAccuracy(), 1.0f);
    EXPECT_FALSE(builder().builderRunning());
    EXPECT_EQ(builder().lastError(), std::nullopt);
}

// Three spam among the good training emails and three ham among the bad: the
// final pass doubles the two most misjudged of each folder it tests.
TEST_F(AutoFilterBuilderTest, FinalPassDoublesTheHardestTrainingEmails) {
    storeTexts(kGood, texts(hamText, 0, 48));
    storeTexts(kGood, texts(spamText, 500, 3));
    storeTexts(kBad, texts(spamText, 0, 48));
    storeTexts(kBad, texts(hamText, 500, 3));
    storeTexts(kStoreGood, texts(hamText, 100, 10));
    storeTexts(kStoreBad, texts(spamText, 100, 10));
    const int before = db().readCounter();
    runBuild();
    const std::vector<std::string> lines = passAndStageLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "stage Testing Good Folder"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "stage Testing Bad Folder"), lines.end());
    ASSERT_EQ(count(kGood), 53);
    ASSERT_EQ(count(kBad), 53);
    const std::vector<std::string> misfiledSpam = texts(spamText, 500, 3);
    const std::vector<std::string> misfiledHam = texts(hamText, 500, 3);
    for (const auto& [key, misfiled] :
         {std::pair{kGood, misfiledSpam}, std::pair{kBad, misfiledHam}}) {
        const std::vector<int> now = indexes(key);
        for (auto it = now.end() - 2; it != now.end(); ++it) {
            EXPECT_GE(*it, before) << "a new copy, numbered from the counter";
            EXPECT_NE(std::find(misfiled.begin(), misfiled.end(), textOf(key, *it)), misfiled.end())
                << key << " copy " << *it << " is of a misfiled email";
        }
    }
    EXPECT_EQ(schedule().lastEmailCount(), 53 + 53 + 20);
}

TEST_F(AutoFilterBuilderTest, FiftyTrainingEmailsAreNotTested) {
    storeTexts(kGood, texts(hamText, 0, 47));
    storeTexts(kGood, texts(spamText, 500, 3));
    storeTexts(kBad, texts(spamText, 0, 48));
    storeTexts(kBad, texts(hamText, 500, 3));
    storeTexts(kStoreGood, texts(hamText, 100, 10));
    storeTexts(kStoreBad, texts(spamText, 100, 10));
    runBuild();
    EXPECT_EQ(passAndStageLines(), linesOf({
                                       "pass Pass 1 of 4",
                                       "stage Building Filter",
                                       "stage Testing Emails",
                                       "pass Pass 4 of 4",
                                       "stage Building Filter",
                                       "stage Testing Bad Folder",
                                       "stage Final Filter Build",
                                       "stage Evaluating Filter's Accuracy",
                                       "stage Build Complete",
                                   }));
    EXPECT_EQ(count(kGood), 50);
    EXPECT_EQ(count(kBad), 53);
}

TEST_F(AutoFilterBuilderTest, TrainingFoldersNearTheLimitAreNotTested) {
    for (const int hams : {592, 591}) {
        SCOPED_TRACE(hams);
        for (const int index : indexes(kGood)) {
            db().deleteEmailHeader(index, kGood);
        }
        storeTexts(kGood, texts(hamText, 0, hams));
        storeTexts(kGood, texts(spamText, 500, 3));
        if (count(kBad) == 0) {
            storeTexts(kBad, texts(spamText, 0, 20));
            storeTexts(kStoreGood, texts(hamText, 1000, 10));
            storeTexts(kStoreBad, texts(spamText, 100, 10));
        }
        desktop().clear();
        runBuild();
        const std::vector<std::string> lines = passAndStageLines();
        const bool tested =
            std::find(lines.begin(), lines.end(), "stage Testing Good Folder") != lines.end();
        EXPECT_EQ(tested, hams + 3 < 595);
        EXPECT_EQ(count(kGood), hams + 3 + (tested ? 2 : 0));
    }
}

// ---- the accuracy figure ----

TEST_F(AutoFilterBuilderTest, AccuracyIsTheShareOfAllFourFoldersRatedRight) {
    storeTexts(kGood, texts(hamText, 0, 50));
    storeTexts(kBad, texts(spamText, 0, 50));
    storeTexts(kStoreGood, texts(hamText, 50, 44));
    storeTexts(kStoreGood, texts(spamText, 50, 6));  // six the filter must get wrong
    storeTexts(kStoreBad, texts(spamText, 100, 50));
    LoggingReporter reporter;
    filter().buildProbabilities(reporter);
    reporter.ranges.clear();
    reporter.positions.clear();
    builder().evaluateAccuracy(reporter);
    EXPECT_EQ(schedule().lastAccuracy(), 1.0f - 6.0f / 200.0f);
    EXPECT_FLOAT_EQ(schedule().lastAccuracy(), 0.97f);
    EXPECT_EQ(schedule().lastEmailCount(), 200);
    EXPECT_EQ(scheduleFileBytes().substr(10),
              std::string(std::bit_cast<std::array<char, 4>>(1.0f - 6.0f / 200.0f).data(), 4) +
                  std::string("\xC8\x00\x00\x00", 4));
    EXPECT_EQ(reporter.ranges, (std::vector<std::pair<int, int>>{{1, 200}}));
    EXPECT_EQ(reporter.positions.front(), 0);
    EXPECT_EQ(reporter.positions.back(), 200);
}

TEST_F(AutoFilterBuilderTest, AnEmptyStoreGivesNoAccuracy) {
    schedule().setResult(0.5f, 9);
    LoggingReporter reporter;
    builder().evaluateAccuracy(reporter);
    EXPECT_EQ(schedule().lastAccuracy(), 0.5f);
    EXPECT_EQ(schedule().lastEmailCount(), 9);
    EXPECT_FALSE(resultSaved());
}

// ---- cancel ----

struct CancelCase {
    const char* stage;
    std::vector<std::string> lastLines;
    int goodA;
    int badA;
    int goodB;
    int badB;
};

class CancelTest : public AutoFilterBuilderTest,
                   public ::testing::WithParamInterface<CancelCase> {};

// 51 good (three of them spam) and 20 bad training emails, 20 unknown ones in
// each store folder: three passes move 5 and 5, the final pass tests Good
// Emails and doubles two.
TEST_P(CancelTest, StopsAtTheNextCheckpointKeepingWhatWasDone) {
    const CancelCase& c = GetParam();
    storeTexts(kGood, texts(hamText, 0, 48));
    storeTexts(kGood, texts(spamText, 500, 3));
    storeTexts(kBad, texts(spamText, 0, 20));
    storeTexts(kStoreGood, texts(unknownText, 0, 20));
    storeTexts(kStoreBad, texts(unknownText, 100, 20));
    desktop().cancelAtStage(c.stage);
    runBuild();
    const std::vector<std::string> lines = passAndStageLines();
    ASSERT_GE(lines.size(), c.lastLines.size());
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - static_cast<long>(c.lastLines.size()), lines.end()),
        c.lastLines);
    EXPECT_TRUE(builder().cancelBuild());
    EXPECT_FALSE(builder().builderRunning());
    EXPECT_EQ(count(kGood), c.goodA);
    EXPECT_EQ(count(kBad), c.badA);
    EXPECT_EQ(count(kStoreGood), c.goodB);
    EXPECT_EQ(count(kStoreBad), c.badB);
    EXPECT_FALSE(resultSaved());
    EXPECT_TRUE(filter().tablePresent());

    // Opening the dialog again clears the request: the next build runs through.
    desktop().cancelAtStage("");
    desktop().clear();
    runBuild();
    EXPECT_FALSE(builder().cancelBuild());
    EXPECT_EQ(passAndStageLines().back(), "stage Build Complete");
    EXPECT_TRUE(resultSaved());
}

INSTANTIATE_TEST_SUITE_P(
    AtEachStage, CancelTest,
    ::testing::Values(
        CancelCase{"Building Filter", linesOf({"pass Pass 1 of 4", "stage Building Filter"}), 51,
                   20, 20, 20},
        CancelCase{"Testing Emails", linesOf({"stage Building Filter", "stage Testing Emails"}), 51,
                   20, 20, 20},
        CancelCase{"Moving Emails", linesOf({"stage Testing Emails", "stage Moving Emails"}), 56,
                   25, 15, 15},
        CancelCase{
            "Testing Good Folder",
            linesOf({"pass Pass 4 of 4", "stage Building Filter", "stage Testing Good Folder"}), 68,
            35, 5, 5},
        CancelCase{"Evaluating Filter's Accuracy",
                   linesOf({"stage Evaluating Filter's Accuracy", "stage Build Complete"}), 68, 35,
                   5, 5}),
    [](const ::testing::TestParamInfo<CancelCase>& info) {
        std::string name;
        for (const char c : std::string(info.param.stage)) {
            if (std::isalnum(static_cast<unsigned char>(c))) {
                name += c;
            }
        }
        return name;
    });

TEST_F(AutoFilterBuilderTest, CancelRequestsAreClearedWhenTheDialogOpens) {
    builder().cancel();
    EXPECT_TRUE(builder().cancelBuild());
    builder().opened();
    EXPECT_FALSE(builder().cancelBuild());
    EXPECT_FALSE(builder().builderStarted());
    EXPECT_TRUE(builder().builderRunning());
    EXPECT_TRUE(builder().running());
}

// ---- failures ----

TEST_F(AutoFilterBuilderTest, AStoreErrorEndsTheBuildAndIsLogged) {
    storeTexts(kGood, texts(hamText, 0, 20));
    storeTexts(kBad, texts(spamText, 0, 20));
    storeTexts(kStoreGood, texts(unknownText, 0, 10));
    storeTexts(kStoreBad, texts(unknownText, 100, 10));
    LoggingReporter reporter;
    bool runningMidway = false;
    reporter.onStage = [&](const std::string& stage) {
        runningMidway = builder().builderRunning() && builder().builderStarted();
        if (stage == "Testing Emails") {
            std::filesystem::remove(CDatabase::kDefaultFileName);
        }
    };
    builder().opened();
    builder().run(reporter);
    EXPECT_TRUE(runningMidway);
    EXPECT_FALSE(builder().builderRunning());
    EXPECT_EQ(reporter.lines.back(), "stage Testing Emails");
    EXPECT_NE(errorLog().find("Error: Can't Open Database in CDatabase::getEmailHeader"),
              std::string::npos)
        << errorLog();
    EXPECT_EQ(errorLog().find("Catch All Error"), std::string::npos);
    EXPECT_FALSE(resultSaved());
    ASSERT_TRUE(builder().lastError());
    EXPECT_TRUE(builder().lastError()->starts_with(
        "Error: Can't Open Database in CDatabase::getEmailHeader"));
    builder().opened();
    EXPECT_EQ(builder().lastError(), std::nullopt) << "cleared when the dialog opens";
}

TEST_F(AutoFilterBuilderTest, OtherFailuresAreLoggedAsCatchAll) {
    storeTexts(kGood, texts(hamText, 0, 20));
    storeTexts(kBad, texts(spamText, 0, 20));
    LoggingReporter reporter;
    reporter.onStage = [](const std::string& stage) {
        if (stage == "Testing Emails") {
            throw std::runtime_error("reporter failed");
        }
    };
    builder().opened();
    builder().run(reporter);
    EXPECT_FALSE(builder().builderRunning());
    EXPECT_NE(errorLog().find("Error: Catch All Error in CAutoFilterBuilder::buildThread\n line "),
              std::string::npos)
        << errorLog();
    EXPECT_NE(errorLog().find(" of file AutoFilterBuilder"), std::string::npos);
    ASSERT_TRUE(builder().lastError());
    EXPECT_TRUE(builder().lastError()->starts_with("Error: Catch All Error"));
}

// ---- the filter switch ----

TEST_F(AutoFilterBuilderTest, TheFilterSwitchIsPutBackQuietly) {
    storeTexts(kGood, texts(hamText, 0, 20));
    storeTexts(kBad, texts(spamText, 0, 20));
    for (const bool on : {true, false}) {
        filter().setEnabled(on, false);
        desktop().clear();
        runBuild();
        EXPECT_EQ(filter().isEnabled(), on);
        EXPECT_TRUE(filter().tablePresent());
        for (const std::string& call : desktop().calls()) {
            EXPECT_FALSE(call.starts_with("status ")) << call;
        }
    }
}
