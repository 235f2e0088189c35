#pragma once

#include <QObject>

class QSocketNotifier;

// The process signals the desktop program answers, turned into Qt signals on
// the GUI thread. SIGTERM and SIGINT (a session logging out, a service
// manager, Ctrl+C) end the program through its normal exit, with the proxy
// stopped and the store closed, rather than cutting it off in the middle of a
// store write. SIGUSR1 is glimmerfen-cli build-now asking for a filter build,
// which must never kill the program. One per process.
class ProcessSignals : public QObject {
    Q_OBJECT

  public:
    explicit ProcessSignals(QObject* parent = nullptr);
    ~ProcessSignals() override;

  signals:
    void terminationRequested();
    void buildRequested();

  private:
    void readPending();

    QSocketNotifier* m_notifier = nullptr;
};
