#include "ui/QtDesktop.h"

#include <memory>

#include <QMessageBox>

#include "platform/Event.h"
#include "ui/BuilderDialog.h"
#include "ui/PortConflictDialog.h"
#include "ui/TimedBox.h"

QtDesktop::QtDesktop(QObject* parent)
    : QObject(parent),
      m_timedBoxDuration(CTimedBox::kDefaultDuration),
      m_builderStartDelay(BuilderDialog::kDefaultStartDelay) {}

QtDesktop::~QtDesktop() {
    m_bridge.shutdown();
}

void QtDesktop::shutdown() {
    m_bridge.shutdown();
}

void QtDesktop::setTimedBoxDuration(std::chrono::milliseconds duration) {
    m_timedBoxDuration = duration;
}

void QtDesktop::setBuilderStartDelay(std::chrono::milliseconds delay) {
    m_builderStartDelay = delay;
}

void QtDesktop::showTimedBox(const std::string& message) {
    const auto duration = m_timedBoxDuration.load();
    m_bridge.run([text = QString::fromStdString(message), duration] {
        CTimedBox box;
        box.setMessage(text);
        box.setDuration(duration);
        box.exec();
    });
}

int QtDesktop::askForPort(int currentPort, const std::string& account) {
    const auto port = m_bridge.call<int>([currentPort, account] {
        PortConflictDialog dialog(currentPort, QString::fromStdString(account));
        dialog.exec();
        return dialog.port();
    });
    return port.value_or(currentPort);
}

void QtDesktop::showMessage(const std::string& message) {
    m_bridge.run([text = QString::fromStdString(message)] {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Glimmerfen"), text, QMessageBox::Ok);
        box.exec();
    });
}

void QtDesktop::runBuilderDialog(BuilderJob& job) {
    auto run = std::make_shared<BuilderRun>(job);
    const auto delay = m_builderStartDelay.load();
    const bool served = m_bridge.run([run, delay] {
        BuilderDialog dialog(run, delay);
        dialog.exec();
    });
    run->close(!served || !run->hasEnded());
}

void QtDesktop::postRefreshViews(int parameter, platform::Event& done) {
    if (!m_hasRefreshHandler) {
        done.set();
        m_bridge.post([this, parameter] { emit refreshViewsRequested(parameter); });
        return;
    }
    m_bridge.post(
        [this, parameter, &done] {
            emit refreshViewsRequested(parameter);
            if (m_refreshHandler) {
                m_refreshHandler(parameter);
            }
            done.set();
        },
        [&done] { done.set(); });
}

void QtDesktop::setRefreshHandler(std::function<void(int)> handler) {
    m_hasRefreshHandler = static_cast<bool>(handler);
    m_refreshHandler = std::move(handler);
}

void QtDesktop::refreshFolderCounts() {
    m_bridge.post([this] { emit folderCountsRefreshRequested(); });
}

void QtDesktop::setStatusText(StatusPane pane, const std::string& text) {
    m_bridge.post([this, pane, text = QString::fromStdString(text)] {
        emit statusTextRequested(pane, text);
    });
}

bool QtDesktop::isNewEmailsShown() {
    return m_newEmailsShown;
}

void QtDesktop::setNewEmailsShown(bool shown) {
    m_newEmailsShown = shown;
}

void QtDesktop::addHeaderRow(const HeaderRow& row) {
    m_bridge.post([this, row] { emit headerRowAdded(row); });
}
