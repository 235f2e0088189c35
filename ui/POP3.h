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
#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"
#include "ui/IpAddressEdit.h"

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
class CPOP3 : public QDialog {
    Q_OBJECT

  public:
    // Longer than any valid word, so a word that is too long is seen as such.
    static constexpr int kFlagWordReadLength = 23;
    // How long "Test Connection" may take before it gives up.
    static constexpr std::chrono::milliseconds kProbeTimeout{20000};

    // What "Test Connection" runs on its worker thread: probeServer, or a
    // test's stand-in.
    using Probe = std::function<ProbeReport(const Pop3Settings&, const ServerSecurity&,
                                            std::chrono::milliseconds, const std::atomic<bool>&)>;

    // Fills itself from the store, "sFlag.bin", the settings file and the
    // system's name servers; store failures, and a settings file that cannot
    // be read at all, throw CError. A damaged settings file is told to the
    // user (it has been set aside) and the defaults are shown.
    CPOP3(ViewContext& context, QWidget* parent = nullptr);
    // As above, with the name servers offered from `nameServers` instead of the
    // system's resolver configuration.
    CPOP3(ViewContext& context, const platform::SystemConfigReader& nameServers,
          QWidget* parent = nullptr);
    // Does not wait for a name-server test or a connection test still under
    // way: each runs on what it owns and finishes alone, and its answer then
    // goes nowhere. A connection test is told to stop.
    ~CPOP3() override;

    // After exec() returned Accepted: writes the flag word (only 2 to 20
    // characters, silently), the POP3 settings and the name server to the
    // store, and clears the resolver's server-known flag. Throws CError on a
    // failure to save.
    void save();

    // True from a click on "Test IP" until its answer is in.
    bool isTestingNameServer() const { return m_testing; }
    // True from a click on "Test Connection" until its report is in.
    bool isTestingConnection() const { return m_probing; }
    // The connection security that OK saves: the mode chosen and the pinned
    // certificate, which "Trust This Certificate" replaces.
    ServerSecurity security() const;

    // Replaces probeServer for the connection test.
    void setProbe(Probe probe) { m_probe = std::move(probe); }

  public slots:
    // Refuses ports that cannot work, then saves the connection security to
    // the settings file; when that fails the user is told and the dialog
    // stays open.
    void accept() override;
    // Raises the stop flag of a connection test under way.
    void done(int result) override;

  private:
    void build();
    void fill(const platform::SystemConfigReader& nameServers);
    void useDomainName(bool byName);
    void onNameServerChosen(int index);
    void testNameServer();
    void onNameServerTested(bool passed);
    void refuse(const QString& text, QWidget* field);
    void loadSecurity();
    bool saveSecurity();
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
    bool m_probing = false;
    std::shared_ptr<TestLink> m_probeLink;
    Probe m_probe;
    // The server and security of the last test, and the certificate it met;
    // only that certificate can be trusted, and only for that server.
    std::optional<std::pair<Pop3Settings, Security>> m_probed;
    std::optional<platform::CertificateReport> m_probedCertificate;

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
