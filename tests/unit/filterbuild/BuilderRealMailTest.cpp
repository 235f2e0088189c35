// A whole build over public mail, started by the scheduled-build check: the
// moves of each pass, the doubled training emails, the stored accuracy and
// the order of passes and stages.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "BuildTestSupport.h"
#include "filterbuild/ScheduledBuildCheck.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "store/Folder.h"

namespace {

constexpr std::string_view kBad = folderKey(Folder::Bad);
constexpr std::string_view kGood = folderKey(Folder::Good);
constexpr std::string_view kStoreBad = folderKey(Folder::StoreBad);
constexpr std::string_view kStoreGood = folderKey(Folder::StoreGood);

struct Counts {
    int goodA;
    int badA;
    int goodB;
    int badB;
    bool operator==(const Counts&) const = default;
};

// Takes the folder counts and the builder's picks whenever a move has
// finished (the builder then has the folder list refresh its counts).
class MoveWatchingDesktop : public RecordingDesktop {
  public:
    struct Move {
        std::vector<std::int32_t> goodPicks;
        std::vector<std::int32_t> badPicks;
        Counts counts;
    };

    explicit MoveWatchingDesktop(CDatabase& database) : m_database(database) {}
    void refreshFolderCounts() override {
        RecordingDesktop::refreshFolderCounts();
        moves.push_back({builder->goodPicks(), builder->badPicks(), counts()});
    }
    Counts counts() {
        return {m_database.emailCount(kGood), m_database.emailCount(kBad),
                m_database.emailCount(kStoreGood), m_database.emailCount(kStoreBad)};
    }

    AutoFilterBuilder* builder = nullptr;
    std::vector<Move> moves;

  private:
    CDatabase& m_database;
};

class BuilderRealMailTest : public BuildFixture {};

bool contains(const std::vector<int>& list, int value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

TEST_F(BuilderRealMailTest, ARequestedBuildOverPublicMail) {
    const std::vector<std::string> ham = corpusMessages("ham", 0, 400);
    const std::vector<std::string> spam = corpusMessages("spam", 0, 300);
    ASSERT_EQ(ham.size(), 400u) << "the mail corpus is missing at " << corpusDirectory()
                                << " (set GLIMMERFEN_CORPUS to a directory with ham/ and spam/)";
    ASSERT_EQ(spam.size(), 300u) << "the mail corpus is missing at " << corpusDirectory();
    storeTexts(kGood, std::vector<std::string>(ham.begin(), ham.begin() + 300));
    storeTexts(kBad, std::vector<std::string>(spam.begin(), spam.begin() + 200));
    storeTexts(kStoreGood, std::vector<std::string>(ham.begin() + 300, ham.end()));
    storeTexts(kStoreBad, std::vector<std::string>(spam.begin() + 200, spam.end()));
    const int counterBefore = db().readCounter();
    const std::vector<int> goodABefore = indexes(kGood);
    const std::vector<int> badABefore = indexes(kBad);

    MoveWatchingDesktop watching(db());
    AutoFilterBuilder builder(db(), filter(), schedule(), watching);
    watching.builder = &builder;
    platform::Semaphore semaphore(1, 1);
    platform::Event refreshDone;
    ScheduledBuildCheck check(schedule(), builder, semaphore, refreshDone, watching);
    schedule().setBuildNowPending(true);
    int builds = 0;
    for (int pass = 0; pass < 10; ++pass) {
        builds += check.onListenerPass() ? 1 : 0;
    }
    ASSERT_EQ(builds, 1);
    EXPECT_FALSE(schedule().buildNowPending());
    EXPECT_FALSE(builder.builderRunning());
    EXPECT_EQ(semaphore.count(), 1);

    // Each move changes the counts by exactly its picks, which then sit in
    // the training folder under their own numbers.
    ASSERT_EQ(watching.moves.size() % 2, 0u);
    const std::size_t movePasses = watching.moves.size() / 2;
    ASSERT_LE(movePasses, 3u);
    Counts expected{300, 200, 100, 100};
    std::set<int> movedGood;
    std::set<int> movedBad;
    for (std::size_t m = 0; m < watching.moves.size(); ++m) {
        const auto& move = watching.moves[m];
        const int good = static_cast<int>(move.goodPicks.size());
        const int bad = static_cast<int>(move.badPicks.size());
        EXPECT_LE(good, 5);
        EXPECT_LE(bad, 5);
        EXPECT_GT(good + bad, 0) << "a pass that picks nothing moves nothing";
        if (m % 2 == 0) {
            expected.goodA += good;
            expected.goodB -= good;
            movedGood.insert(move.goodPicks.begin(), move.goodPicks.end());
        } else {
            expected.badA += bad;
            expected.badB -= bad;
            movedBad.insert(move.badPicks.begin(), move.badPicks.end());
        }
        EXPECT_EQ(move.counts, expected) << "after move " << m;
    }
    EXPECT_FALSE(movedGood.empty() && movedBad.empty())
        << "unseen public mail gives the first pass something to learn";

    // Afterwards: the training folders hold what they had, the moved emails
    // and at most two new copies each.
    const std::vector<int> goodA = indexes(kGood);
    const std::vector<int> badA = indexes(kBad);
    for (const int index : movedGood) {
        EXPECT_TRUE(contains(goodA, index));
        EXPECT_FALSE(contains(indexes(kStoreGood), index));
    }
    for (const int index : movedBad) {
        EXPECT_TRUE(contains(badA, index));
    }
    const auto copies = [&](const std::vector<int>& now) {
        return std::count_if(now.begin(), now.end(), [&](int i) { return i >= counterBefore; });
    };
    EXPECT_LE(copies(goodA), 2);
    EXPECT_LE(copies(badA), 2);
    EXPECT_EQ(goodA.size(),
              goodABefore.size() + movedGood.size() + static_cast<std::size_t>(copies(goodA)));
    EXPECT_EQ(badA.size(),
              badABefore.size() + movedBad.size() + static_cast<std::size_t>(copies(badA)));

    // The passes and stages, in order.
    std::vector<std::string> want = {"runBuilderDialog"};
    for (std::size_t pass = 1; pass <= movePasses; ++pass) {
        want.push_back("pass Pass " + std::to_string(pass) + " of 4");
        for (const char* line :
             {"stage Building Filter", "stage Testing Emails", "stage Moving Emails",
              "refreshFolderCounts", "refreshFolderCounts"}) {
            want.push_back(line);
        }
    }
    if (movePasses < 3) {
        want.push_back("pass Pass " + std::to_string(movePasses + 1) + " of 4");
        want.push_back("stage Building Filter");
        want.push_back("stage Testing Emails");
    }
    for (const char* line :
         {"pass Pass 4 of 4", "stage Building Filter", "stage Testing Good Folder",
          "stage Testing Bad Folder", "stage Final Filter Build",
          "stage Evaluating Filter's Accuracy", "stage Build Complete", "refreshViews 0"}) {
        want.push_back(line);
    }
    EXPECT_EQ(watching.calls(), want);

    // The accuracy over all four folders, in the file as in memory.
    const Counts final = watching.counts();
    const int total = final.goodA + final.badA + final.goodB + final.badB;
    EXPECT_EQ(total, 700 + static_cast<int>(copies(goodA) + copies(badA)));
    EXPECT_EQ(schedule().lastEmailCount(), total);
    EXPECT_GE(schedule().lastAccuracy(), 0.95f);
    EXPECT_LE(schedule().lastAccuracy(), 1.0f);
    const std::string file = scheduleFileBytes();
    ASSERT_EQ(file.size(), 18u);
    EXPECT_EQ(file.substr(10, 4),
              std::string(std::bit_cast<std::array<char, 4>>(schedule().lastAccuracy()).data(), 4));
    EXPECT_EQ(file.substr(14, 4),
              std::string(
                  std::bit_cast<std::array<char, 4>>(static_cast<std::int32_t>(total)).data(), 4));
}
