#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT (a session logging out, a service manager, Ctrl+C)
// into a signal on the GUI thread, so that the program ends through its
// normal exit, with the proxy stopped and the store closed, rather than being
// cut off in the middle of a store write. One per process.
class TerminationSignal : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignal(QObject* parent = nullptr);
    ~TerminationSignal() override;

  signals:
    void received();

  private:
    QSocketNotifier* m_notifier = nullptr;
};
