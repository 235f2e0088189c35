#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QTimer>
#include <QWidget>

// Answers modal dialogs from inside their nested event loops: every 10 ms the
// handler gets the active modal widget (or nullptr) and returns true once it
// has finished. A watch that runs out of time rejects whatever is modal, so a
// stuck dialog fails the test instead of hanging it. Create it before the code
// that opens the dialog.
class ModalWatch {
  public:
    using Handler = std::function<bool(QWidget* modal)>;

    explicit ModalWatch(Handler handler,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20))
        : m_handler(std::move(handler)), m_deadline(timeout) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start(10);
    }

    bool finished() const { return m_finished; }
    bool timedOut() const { return m_timedOut; }

  private:
    void poll() {
        if (m_finished) {
            return;
        }
        if (m_timedOut || m_deadline.hasExpired()) {
            m_timedOut = true;
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                dialog->done(QDialog::Rejected);
            } else {
                m_timer.stop();
            }
            return;
        }
        // A handler may open a nested loop (a click that shows a message box):
        // the flag keeps this watch from re-entering itself meanwhile.
        if (m_busy) {
            return;
        }
        m_busy = true;
        const bool done = m_handler(QApplication::activeModalWidget());
        m_busy = false;
        if (done) {
            m_finished = true;
            m_timer.stop();
        }
    }

    Handler m_handler;
    QDeadlineTimer m_deadline;
    QTimer m_timer;
    bool m_finished = false;
    bool m_timedOut = false;
    bool m_busy = false;
};

// A thread standing in for the server thread: runs one job and says when it
// has returned. Joined on destruction.
class Worker {
  public:
    template <typename F>
    explicit Worker(F job)
        : m_thread([this, job = std::move(job)]() mutable {
              job();
              m_done = true;
          }) {}
    ~Worker() { join(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool done() const { return m_done; }
    void join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// For main(): the tests run without a display unless told otherwise.
inline void useOffscreenUnlessSet() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

#define GLIMMERFEN_UI_TEST_MAIN(TestClass)      \
    int main(int argc, char** argv) {           \
        useOffscreenUnlessSet();                \
        QApplication app(argc, argv);           \
        TestClass test;                         \
        return QTest::qExec(&test, argc, argv); \
    }
