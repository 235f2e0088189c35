// The build on a thread of its own, as the builder's dialog runs it: the
// flags seen from the dialog's thread, a cancel from there, and the schedule
// read by the proxy thread while the panel saves it.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "BuildTestSupport.h"
#include "filterbuild/BuildPanel.h"
#include "desktop/ConsoleDesktop.h"
#include "store/Folder.h"

namespace {

// Holds the build thread at a stage until the test lets it go on.
class Gate {
  public:
    void arriveAndWait() {
        std::unique_lock lock(m_mutex);
        m_arrived = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    void waitForArrival() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_arrived; });
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_arrived = false;
    bool m_open = false;
};

class BuildThreadsTest : public BuildFixture {
  protected:
    void storeSomeMail() {
        storeTexts(folderKey(Folder::Good), texts(hamText, 0, 20));
        storeTexts(folderKey(Folder::Bad), texts(spamText, 0, 20));
        storeTexts(folderKey(Folder::StoreGood), texts(unknownText, 0, 10));
        storeTexts(folderKey(Folder::StoreBad), texts(unknownText, 100, 10));
    }
};

}  // namespace

TEST_F(BuildThreadsTest, ACancelFromTheDialogThreadStopsTheBuildThread) {
    storeSomeMail();
    Gate gate;
    LoggingReporter reporter;
    reporter.onStage = [&](const std::string& stage) {
        if (stage == "Testing Emails") {
            gate.arriveAndWait();
        }
    };
    builder().opened();
    std::thread build([&] { builder().run(reporter); });
    gate.waitForArrival();
    EXPECT_TRUE(builder().running());
    EXPECT_TRUE(builder().builderStarted());
    builder().cancel();
    gate.open();
    build.join();
    EXPECT_FALSE(builder().running());
    EXPECT_EQ(reporter.lines.back(), "stage Testing Emails");
    EXPECT_EQ(count(folderKey(Folder::StoreGood)), 10) << "stopped before moving";
}

TEST_F(BuildThreadsTest, TheConsoleDialogRunsTheBuildToItsEnd) {
    storeSomeMail();
    std::ostringstream out;
    ConsoleDesktop console(out);
    AutoFilterBuilder builder(db(), filter(), schedule(), console);
    console.runBuilderDialog(builder);
    EXPECT_FALSE(builder.running());
    const std::string text = out.str();
    EXPECT_NE(text.find("Pass 1 of 4\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  Build Complete\n"), std::string::npos) << text;
    EXPECT_EQ(schedule().lastEmailCount(), 60);
}

TEST_F(BuildThreadsTest, TheDueCheckReadsWhileThePanelSaves) {
    std::atomic<bool> done{false};
    std::thread proxy([&] {
        bool requested = false;
        while (!done.load()) {
            schedule().isBuildDue(requested);
            schedule().scheduleTimes();
        }
    });
    BuildPanel panel(schedule(), filter(), db());
    panel.open();
    for (int hour = 1; hour <= 12; ++hour) {
        ASSERT_EQ(panel.pressOk({true, false, false, false, false, false, false},
                                std::to_string(hour), "0", BuildPanel::kAm),
                  std::nullopt);
    }
    done.store(true);
    proxy.join();
    EXPECT_EQ(schedule().scheduleTimes()[1], 1440 + 12 * 60);
}
