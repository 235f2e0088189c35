#include "desktop/RecordingDesktop.h"

namespace {
constexpr std::string_view kTimedBox = "timedBox ";
}

void RecordingDesktop::showTimedBox(const std::string& message) {
    record(std::string(kTimedBox) + message);
}

void RecordingDesktop::refreshFolderCounts() {
    record("refreshFolderCounts");
}

void RecordingDesktop::setStatusText(StatusPane pane, const std::string& text) {
    record(std::string("status ") + (pane == StatusPane::Bayes ? "Bayes " : "Dnsbl ") + text);
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
