#include "ui/BuilderDialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include "desktop/BuilderJob.h"

BuilderRun::BuilderRun(BuilderJob& job) : m_job(job) {}

BuilderRun::~BuilderRun() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void BuilderRun::opened() {
    std::lock_guard lock(m_mutex);
    if (!m_closed) {
        m_job.opened();
    }
}

bool BuilderRun::start() {
    std::lock_guard lock(m_mutex);
    if (m_closed || m_started) {
        return false;
    }
    m_started = true;
    m_thread = std::thread([this] { build(); });
    return true;
}

void BuilderRun::cancel() {
    std::lock_guard lock(m_mutex);
    if (!m_closed && !m_ended) {
        m_job.cancel();
    }
}

void BuilderRun::attach(BuilderDialog* dialog) {
    std::lock_guard lock(m_mutex);
    m_dialog = dialog;
}

void BuilderRun::detach() {
    std::lock_guard lock(m_mutex);
    m_dialog = nullptr;
}

bool BuilderRun::hasEnded() const {
    std::lock_guard lock(m_mutex);
    return m_ended;
}

void BuilderRun::close(bool cancelUnfinished) {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        if (cancelUnfinished && !m_ended) {
            m_job.cancel();
        }
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_failure) {
        std::rethrow_exception(m_failure);
    }
}

void BuilderRun::build() {
    std::exception_ptr failure;
    try {
        m_job.run(m_reporter);
    } catch (...) {
        failure = std::current_exception();
    }
    std::lock_guard lock(m_mutex);
    m_failure = failure;
    m_ended = true;
    if (m_dialog != nullptr) {
        QMetaObject::invokeMethod(
            m_dialog, [dialog = m_dialog] { dialog->onBuildEnded(); }, Qt::QueuedConnection);
    }
}

// Holding the lock while posting keeps the dialog from being destroyed between
// the check and the post; Qt drops the posted call if it goes afterwards.
void BuilderRun::toDialog(std::function<void(BuilderDialog&)> fn) {
    std::lock_guard lock(m_mutex);
    if (m_dialog != nullptr) {
        QMetaObject::invokeMethod(
            m_dialog, [dialog = m_dialog, fn = std::move(fn)] { fn(*dialog); },
            Qt::QueuedConnection);
    }
}

void BuilderRun::Reporter::setPassText(const std::string& text) {
    m_run.toDialog(
        [text = QString::fromStdString(text)](BuilderDialog& dialog) { dialog.setPassText(text); });
}

void BuilderRun::Reporter::setStageText(const std::string& text) {
    m_run.toDialog([text = QString::fromStdString(text)](BuilderDialog& dialog) {
        dialog.setStageText(text);
    });
}

void BuilderRun::Reporter::setRange(int low, int high) {
    m_run.toDialog([low, high](BuilderDialog& dialog) { dialog.setProgressRange(low, high); });
}

void BuilderRun::Reporter::setPosition(int position) {
    m_run.toDialog([position](BuilderDialog& dialog) { dialog.setProgressPosition(position); });
}

BuilderDialog::BuilderDialog(std::shared_ptr<BuilderRun> run, std::chrono::milliseconds startDelay,
                             QWidget* parent)
    : QDialog(parent),
      m_run(std::move(run)),
      m_startTimer(new QTimer(this)),
      m_progress(new QProgressBar(this)),
      m_pass(new QLineEdit(this)),
      m_stage(new QLineEdit(this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(QStringLiteral("Auto-Filter Builder"));
    m_startTimer->setObjectName(QStringLiteral("startTimer"));
    m_startTimer->setSingleShot(true);
    m_startTimer->setInterval(startDelay);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setTextVisible(false);
    m_pass->setObjectName(QStringLiteral("passText"));
    m_pass->setReadOnly(true);
    m_stage->setObjectName(QStringLiteral("stageText"));
    m_stage->setReadOnly(true);
    m_stage->setText(QStringLiteral("Hello World"));
    m_cancel->setObjectName(QStringLiteral("cancel"));
    // Enter must not reach Cancel: the dialog has no OK of its own.
    m_cancel->setAutoDefault(false);
    m_cancel->setDefault(false);

    auto* lower = new QHBoxLayout;
    auto* texts = new QVBoxLayout;
    texts->addWidget(m_pass);
    texts->addWidget(m_stage);
    lower->addLayout(texts);
    lower->addWidget(m_cancel, 0, Qt::AlignBottom);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_progress);
    layout->addLayout(lower);

    connect(m_cancel, &QPushButton::clicked, this, &BuilderDialog::reject);
    connect(m_startTimer, &QTimer::timeout, this, &BuilderDialog::startBuild);
    m_run->attach(this);
}

BuilderDialog::~BuilderDialog() {
    m_run->detach();
}

void BuilderDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_opened || event->spontaneous()) {
        return;
    }
    m_opened = true;
    m_run->opened();
    m_startTimer->start();
}

void BuilderDialog::startBuild() {
    if (m_started) {
        return;
    }
    m_started = true;
    m_progress->setRange(1, 100);
    m_progress->setValue(m_progress->minimum());
    m_run->start();
}

void BuilderDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void BuilderDialog::reject() {
    if (m_ended) {
        QDialog::reject();
        return;
    }
    if (m_question != nullptr) {
        return;
    }
    QMessageBox question(QMessageBox::Question, windowTitle(),
                         QStringLiteral("Do you want to build the filter now?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    m_question = &question;
    const int answer = question.exec();
    if (m_ended) {
        return;
    }
    if (answer == QMessageBox::No) {
        m_run->cancel();
    }
}

void BuilderDialog::onBuildEnded() {
    m_ended = true;
    if (m_question != nullptr) {
        m_question->done(QMessageBox::Yes);
    }
    QDialog::accept();
}

void BuilderDialog::setPassText(const QString& text) {
    m_pass->setText(text);
}

void BuilderDialog::setStageText(const QString& text) {
    m_stage->setText(text);
}

void BuilderDialog::setProgressRange(int low, int high) {
    m_progress->setRange(low, high);
}

// The builder starts each stage at 0 under a range that begins at 1; the bar
// ignores a value outside its range and would keep the last stage's.
void BuilderDialog::setProgressPosition(int position) {
    m_progress->setValue(std::clamp(position, m_progress->minimum(), m_progress->maximum()));
}
