#pragma once

#include <optional>
#include <utility>

#include <QString>
#include <QWizard>

#include "store/Account.h"
#include "ui/ProbeRunner.h"

class AccountServers;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
struct ViewContext;

// The first start of an installation: where the mail is (server, port,
// security), a test of that server as the proxy would reach it, and what to
// enter in the mail client. Finish saves the server to the account "main"
// through the account book and reloads the servers; Cancel saves nothing.
class FirstStartAssistant : public QWizard {
    Q_OBJECT

  public:
    enum Page { kServerPage, kTestPage, kClientPage };

    // Reads main's settings from the store; a store that cannot be read
    // throws CError.
    FirstStartAssistant(ViewContext& context, AccountServers& servers, QWidget* parent = nullptr);

    // Replaces probeServer for the connection test.
    void setProbe(ProbeRunner::Probe probe) { m_probeRunner->setProbe(std::move(probe)); }
    bool isTesting() const { return m_probeRunner->isRunning(); }

    // The account main as the assistant would save it now.
    Account editedMain() const;
    // What the mail client needs, as the last page shows it and Copy puts it
    // on the clipboard.
    QString clientSettings() const;

  public slots:
    // Saves main; a refusal or a file that cannot be written is told and the
    // assistant stays open.
    void accept() override;
    // Stops a connection test under way.
    void done(int result) override;

  protected:
    bool validateCurrentPage() override;
    void initializePage(int id) override;

  private:
    QWizardPage* serverPage();
    QWizardPage* testPage();
    QWizardPage* clientPage();
    void onSecurityChosen();
    void testServer();
    void onServerProbed(const ProbeReport& report);
    void trustCertificate();
    void copyClientSettings();
    void tellWarning(const QString& text);

    ViewContext& m_context;
    AccountServers& m_servers;
    // As stored: the local port and what the assistant does not ask stay.
    Account m_main;
    ProbeRunner* m_probeRunner;
    // The server and mode last tested, and the certificate it met.
    std::optional<std::pair<Pop3Settings, Security>> m_probed;
    std::optional<platform::CertificateReport> m_probedCertificate;
    // The certificate the person trusted, for the server and mode it came
    // from only.
    std::optional<std::pair<Pop3Settings, Security>> m_pinnedFor;
    std::optional<platform::CertificateDigest> m_pin;

    // A test asked for while another still ran: started once that one ends.
    bool m_testWanted = false;

    QLineEdit* m_serverName = nullptr;
    QLineEdit* m_serverPort = nullptr;
    QComboBox* m_security = nullptr;
    QPlainTextEdit* m_report = nullptr;
    QPushButton* m_testAgain = nullptr;
    QPushButton* m_trust = nullptr;
    QLabel* m_clientSettings = nullptr;
    QPushButton* m_copy = nullptr;
    QLabel* m_copied = nullptr;
};
