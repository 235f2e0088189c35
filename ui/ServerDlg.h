#pragma once

#include <QDialog>

class QPushButton;
class AccountServers;

// The Restart Server dialog: restarts the proxy as often as the user asks and
// stays open until "Cancel". Restarting picks up a changed local port or spam
// flag word, and revives a proxy that has stopped itself.
class CServerDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CServerDlg(AccountServers& server, QWidget* parent = nullptr);

  private:
    void restartServer();

    AccountServers& m_server;
    bool m_restarting = false;
    QPushButton* m_restart;
    QPushButton* m_cancel;
};
