#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <QDialog>
#include <QString>

#include "proxy/ServerProbe.h"
#include "store/Account.h"
#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"
#include "ui/IpAddressEdit.h"
#include "ui/ProbeRunner.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
struct ViewContext;
namespace platform {
class SystemConfigReader;
}

// The Server Settings dialog: where the proxy finds the POP3 server, how it
// secures the connection to it, the two ports, the spam flag word and the name
// server for block-list queries.
//
// Opened for an account other than "main" it shows that account's name,
// server, security and local port only: the flag word and the name server
// belong to the whole installation and stay with main's dialog.
class CPOP3 : public QDialog {
    Q_OBJECT

  public:
    // Longer than any valid word, so a word that is too long is seen as such.
    static constexpr int kFlagWordReadLength = 23;
    // How long "Test Connection" may take before it gives up.
    static constexpr std::chrono::milliseconds kProbeTimeout = ProbeRunner::kTimeout;

    // What "Test Connection" runs on its worker thread: probeServer, or a
    // test's stand-in.
    using Probe = ProbeRunner::Probe;

    // Fills itself from the store, "sFlag.bin", the settings file and the
    // system's name servers; store failures, and a settings file that cannot
    // be read at all, throw CError. A damaged settings file is told to the
    // user (it has been set aside) and the defaults are shown.
    CPOP3(ViewContext& context, QWidget* parent = nullptr);
    // As above, with the name servers offered from `nameServers` instead of the
    // system's resolver configuration.
    CPOP3(ViewContext& context, const platform::SystemConfigReader& nameServers,
          QWidget* parent = nullptr);
    // For an account other than "main": `account` as stored, `replacing` its
    // stored name, or empty for a new account (`account` then holds what the
    // dialog suggests).
    CPOP3(ViewContext& context, const Account& account, const std::string& replacing,
          QWidget* parent = nullptr);
    // Does not wait for a name-server test or a connection test still under
    // way: each runs on what it owns and finishes alone, and its answer then
    // goes nowhere. A connection test is told to stop.
    ~CPOP3() override;

    // After exec() returned Accepted: writes the flag word (only 2 to 20
    // characters, silently), the POP3 settings and the name server to the
    // store, and clears the resolver's server-known flag. Throws CError on a
    // failure to save. Another account was saved by OK already: nothing.
    void save();

    // True from a click on "Test IP" until its answer is in.
    bool isTestingNameServer() const { return m_testing; }
    // True from a click on "Test Connection" until its report is in.
    bool isTestingConnection() const { return m_probeRunner->isRunning(); }
    // The connection security that OK saves: the mode chosen and the pinned
    // certificate, which "Trust This Certificate" replaces.
    ServerSecurity security() const;

    // Replaces probeServer for the connection test.
    void setProbe(Probe probe) { m_probeRunner->setProbe(std::move(probe)); }

  public slots:
    // Refuses ports that cannot work and settings that break an account rule
    // (a local port another account has). For main it then saves the
    // connection security to the settings file; another account is saved
    // whole, through the account book. When saving fails the user is told and
    // the dialog stays open.
    void accept() override;
    // Raises the stop flag of a connection test under way.
    void done(int result) override;

  private:
    // The parts, before anything is filled in.
    CPOP3(ViewContext& context, bool main, std::string replacing, QWidget* parent);

    void build();
    void fill(const platform::SystemConfigReader& nameServers);
    void fillAccount(const Account& account);
    void showSecurity(Security mode);
    void useDomainName(bool byName);
    void onNameServerChosen(int index);
    void testNameServer();
    void onNameServerTested(bool passed);
    void refuse(const QString& text, QWidget* field);
    void loadSecurity();
    bool saveSecurity();
    bool fitsAmongAccounts();
    bool saveAccount();
    Account editedAccount() const;
    Security chosenMode() const;
    void onSecurityChosen(int index);
    bool pop3PortUsable();
    Pop3Settings editedServer() const;
    void testConnection();
    void onServerProbed(const ProbeReport& report);
    void trustCertificate();

    // What a test on a worker thread shares with the dialog that started it:
    // the dialog takes itself out when it goes, under the mutex, so the test's
    // thread reports to a live dialog or to nobody.
    struct TestLink {
        std::mutex mutex;
        CPOP3* dialog = nullptr;  // guarded by mutex
        std::atomic<bool> stop{false};
    };
    static void unlink(const std::shared_ptr<TestLink>& link);

    ViewContext& m_context;
    // Whether this is main's dialog; otherwise the stored name of the account
    // edited (empty: a new one).
    const bool m_main;
    const std::string m_replacing;
    // As read from the store; the address not chosen is saved back unchanged.
    Pop3Settings m_settings;
    bool m_useDomainName = true;
    bool m_testing = false;
    std::shared_ptr<TestLink> m_testLink;
    // As read from the settings file; OK writes the file only when the
    // security chosen differs from it.
    ServerSecurity m_savedSecurity;
    // The pin to save: the one read, or the certificate the user trusted here.
    std::optional<platform::CertificateDigest> m_pin;
    ProbeRunner* m_probeRunner;
    // The server and security of the last test, and the certificate it met;
    // only that certificate can be trusted, and only for that server.
    std::optional<std::pair<Pop3Settings, Security>> m_probed;
    std::optional<platform::CertificateReport> m_probedCertificate;

    QLineEdit* m_accountName = nullptr;  // another account's only
    QRadioButton* m_byDomainName;
    QRadioButton* m_byIpNumber;
    QLineEdit* m_domainName;
    IpAddressEdit* m_serverIp;
    QLineEdit* m_pop3Port;
    QComboBox* m_securityChoice;
    QLineEdit* m_localPort;
    QLineEdit* m_flagWord;
    IpAddressEdit* m_nameServerIp;
    QComboBox* m_nameServers;
    QPushButton* m_testIp;
    QPushButton* m_testConnection;
    QPushButton* m_trust;
    QPlainTextEdit* m_connectionReport;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};
