#include "doubles/RecordingDesktop.h"

#include "desktop/BuildReporter.h"
#include "desktop/BuilderJob.h"
#include "platform/Event.h"

namespace {
constexpr std::string_view kTimedBox = "timedBox ";

class RecordingReporter : public BuildReporter {
  public:
    RecordingReporter(RecordingDesktop& desktop, BuilderJob& job, std::string cancelStage)
        : m_desktop(desktop), m_job(job), m_cancelStage(std::move(cancelStage)) {}

    void setPassText(const std::string& text) override { m_desktop.note("pass " + text); }
    void setStageText(const std::string& text) override {
        m_desktop.note("stage " + text);
        if (!m_cancelStage.empty() && text == m_cancelStage) {
            m_job.cancel();
        }
    }
    void setRange(int, int) override {}
    void setPosition(int) override {}

  private:
    RecordingDesktop& m_desktop;
    BuilderJob& m_job;
    const std::string m_cancelStage;
};
}  // namespace

void RecordingDesktop::showTimedBox(const std::string& message) {
    record(std::string(kTimedBox) + message);
}

void RecordingDesktop::refreshFolderCounts() {
    record("refreshFolderCounts");
}

void RecordingDesktop::setStatusText(StatusPane pane, const std::string& text) {
    record(std::string("status ") + (pane == StatusPane::Bayes ? "Bayes " : "Dnsbl ") + text);
}

void RecordingDesktop::runBuilderDialog(BuilderJob& job) {
    std::string cancelStage;
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back("runBuilderDialog");
        cancelStage = m_cancelStage;
    }
    job.opened();
    RecordingReporter reporter(*this, job, cancelStage);
    job.run(reporter);
}

void RecordingDesktop::postRefreshViews(int parameter, platform::Event& done) {
    bool hold = false;
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back("refreshViews " + std::to_string(parameter));
        hold = m_holdRefreshes;
        if (hold) {
            m_heldRefreshes.push_back(&done);
        }
    }
    if (!hold) {
        done.set();
    }
}

std::size_t RecordingDesktop::heldRefreshCount() const {
    std::lock_guard lock(m_mutex);
    return m_heldRefreshes.size();
}

void RecordingDesktop::releaseHeldRefresh(std::size_t which) {
    std::lock_guard lock(m_mutex);
    m_heldRefreshes.at(which)->set();
}

int RecordingDesktop::askForPort(int currentPort, const std::string& account) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back("askForPort " + std::to_string(currentPort) +
                      (account == "main" ? "" : " " + account));
    return m_portAnswer;
}

bool RecordingDesktop::isNewEmailsShown() {
    std::lock_guard lock(m_mutex);
    return m_newEmailsShown;
}

void RecordingDesktop::addHeaderRow(const HeaderRow& row) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back("headerRow " + row.index + " " + row.subject);
    m_rows.push_back(row);
}

void RecordingDesktop::showMessage(const std::string& message) {
    record("message " + message);
}

void RecordingDesktop::answerPortWith(int port) {
    std::lock_guard lock(m_mutex);
    m_portAnswer = port;
}

void RecordingDesktop::showNewEmails(bool shown) {
    std::lock_guard lock(m_mutex);
    m_newEmailsShown = shown;
}

std::vector<HeaderRow> RecordingDesktop::headerRows() const {
    std::lock_guard lock(m_mutex);
    return m_rows;
}

void RecordingDesktop::cancelAtStage(std::string stage) {
    std::lock_guard lock(m_mutex);
    m_cancelStage = std::move(stage);
}

void RecordingDesktop::holdRefreshes(bool hold) {
    std::lock_guard lock(m_mutex);
    m_holdRefreshes = hold;
}

void RecordingDesktop::note(std::string call) {
    record(std::move(call));
}

std::vector<std::string> RecordingDesktop::calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> RecordingDesktop::timedBoxes() const {
    std::vector<std::string> messages;
    for (const std::string& call : calls()) {
        if (call.starts_with(kTimedBox)) {
            messages.push_back(call.substr(kTimedBox.size()));
        }
    }
    return messages;
}

void RecordingDesktop::clear() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

void RecordingDesktop::record(std::string call) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
}
