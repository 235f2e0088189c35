#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <QDialog>
#include <QPointer>

#include "desktop/BuildReporter.h"

class BuilderJob;
class BuilderDialog;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTimer;

// One build as the dialog runs it, shared by the thread that asked for the
// dialog, the GUI thread and the build thread. The asking thread may give up on
// the dialog at exit while the dialog is still on the GUI thread's stack; after
// close() the job is touched by nobody but the build thread, so the job only has
// to outlive close().
class BuilderRun {
  public:
    explicit BuilderRun(BuilderJob& job);
    ~BuilderRun();
    BuilderRun(const BuilderRun&) = delete;
    BuilderRun& operator=(const BuilderRun&) = delete;

    // GUI thread.
    void opened();
    bool start();
    void cancel();
    void attach(BuilderDialog* dialog);
    void detach();

    // The asking thread, once the dialog has closed or been given up on: no
    // start and no GUI access to the job after this; cancels an unfinished
    // build when asked to, and returns once run() has ended. Rethrows what
    // run() threw.
    void close(bool cancelUnfinished);
    bool hasEnded() const;

  private:
    class Reporter : public BuildReporter {
      public:
        explicit Reporter(BuilderRun& run) : m_run(run) {}
        void setPassText(const std::string& text) override;
        void setStageText(const std::string& text) override;
        void setRange(int low, int high) override;
        void setPosition(int position) override;

      private:
        BuilderRun& m_run;
    };

    void build();
    // Queues fn for the dialog if it still exists; never waits for the GUI.
    void toDialog(std::function<void(BuilderDialog&)> fn);

    BuilderJob& m_job;
    Reporter m_reporter{*this};
    mutable std::mutex m_mutex;
    BuilderDialog* m_dialog = nullptr;
    bool m_closed = false;
    bool m_started = false;
    bool m_ended = false;
    std::exception_ptr m_failure;
    std::thread m_thread;
};

// The filter builder's progress dialog: starts the build a moment after it
// opens, shows its pass, stage and progress, asks before cancelling, and
// closes itself only when the build has ended.
class BuilderDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr std::chrono::milliseconds kDefaultStartDelay{1000};

    BuilderDialog(std::shared_ptr<BuilderRun> run, std::chrono::milliseconds startDelay,
                  QWidget* parent = nullptr);
    ~BuilderDialog() override;

    bool buildStarted() const { return m_started; }
    bool buildEnded() const { return m_ended; }

    void setPassText(const QString& text);
    void setStageText(const QString& text);
    void setProgressRange(int low, int high);
    void setProgressPosition(int position);
    void onBuildEnded();

  public slots:
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void startBuild();

    std::shared_ptr<BuilderRun> m_run;
    // Single shot, started when the dialog first shows: the build begins only
    // once the dialog is up and painted.
    QTimer* m_startTimer;
    bool m_opened = false;
    bool m_started = false;
    bool m_ended = false;
    QPointer<QMessageBox> m_question;
    QProgressBar* m_progress;
    QLineEdit* m_pass;
    QLineEdit* m_stage;
    QPushButton* m_cancel;
};
