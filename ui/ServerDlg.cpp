#include "ui/ServerDlg.h"

#include <QHBoxLayout>
#include <QPushButton>

#include "proxy/AccountServers.h"

CServerDlg::CServerDlg(AccountServers& server, QWidget* parent)
    : QDialog(parent),
      m_server(server),
      m_restart(new QPushButton(QStringLiteral("Restart Server"), this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(QStringLiteral("Server"));
    m_restart->setObjectName(QStringLiteral("restart"));
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_restart->setDefault(true);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_restart);
    layout->addWidget(m_cancel);

    connect(m_restart, &QPushButton::clicked, this, &CServerDlg::restartServer);
    connect(m_cancel, &QPushButton::clicked, this, &CServerDlg::reject);
}

// The restart waits for the proxy on this thread and then says how it went in
// a message box; the button stays disabled meanwhile so that a click in that
// box's loop cannot start a restart inside the restart.
void CServerDlg::restartServer() {
    if (m_restarting) {
        return;
    }
    m_restarting = true;
    m_restart->setEnabled(false);
    m_server.restartServer();
    m_restart->setEnabled(true);
    m_restarting = false;
}
