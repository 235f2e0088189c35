#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include <QObject>

#include "proxy/ServerProbe.h"

// "Test Connection" off the GUI thread: the probe runs on a detached thread
// that owns what it uses, and its report comes back on the GUI thread as
// finished(). The runner never waits for the thread: going away (or stop())
// raises the stop flag, and a report that arrives after the runner has gone
// goes nowhere.
class ProbeRunner : public QObject {
    Q_OBJECT

  public:
    // How long a test may take before it gives up.
    static constexpr std::chrono::milliseconds kTimeout{20000};

    // probeServer, or a test's stand-in.
    using Probe = std::function<ProbeReport(const Pop3Settings&, const ServerSecurity&,
                                            std::chrono::milliseconds, const std::atomic<bool>&)>;

    explicit ProbeRunner(QObject* parent = nullptr);
    ~ProbeRunner() override;

    void setProbe(Probe probe) { m_probe = std::move(probe); }
    bool isRunning() const { return m_running; }

    // Starts a test of `server` secured as `security`; nothing while one runs.
    // A thread that cannot be started is reported as a failed test at once.
    void start(const Pop3Settings& server, const ServerSecurity& security);
    // Tells a test under way to give up; it still reports.
    void stop();

  signals:
    void finished(const ProbeReport& report);

  private:
    // Shared with the test's thread: the runner takes itself out under the
    // mutex when it goes, so the thread reports to a live runner or to nobody.
    struct Link {
        std::mutex mutex;
        ProbeRunner* runner = nullptr;  // guarded by mutex
        std::atomic<bool> stop{false};
    };

    void report(const ProbeReport& report);

    Probe m_probe;
    bool m_running = false;
    std::shared_ptr<Link> m_link;
};
