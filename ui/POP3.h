#pragma once

#include <memory>
#include <mutex>

#include <QDialog>
#include <QString>

#include "store/Pop3Settings.h"
#include "ui/IpAddressEdit.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
struct ViewContext;
namespace platform {
class SystemConfigReader;
}

// The Server Settings dialog: where the proxy finds the POP3 server, the two
// ports, the spam flag word and the name server for block-list queries.
class CPOP3 : public QDialog {
    Q_OBJECT

  public:
    // Longer than any valid word, so a word that is too long is seen as such.
    static constexpr int kFlagWordReadLength = 23;

    // Fills itself from the store, "sFlag.bin" and the system's name servers;
    // store failures throw CError.
    CPOP3(ViewContext& context, QWidget* parent = nullptr);
    // As above, with the name servers offered from `nameServers` instead of the
    // system's resolver configuration.
    CPOP3(ViewContext& context, const platform::SystemConfigReader& nameServers,
          QWidget* parent = nullptr);
    // Does not wait for a name-server test still under way: the test runs on a
    // resolver of its own and finishes alone, and its answer then goes nowhere.
    ~CPOP3() override;

    // After exec() returned Accepted: writes the flag word (only 2 to 20
    // characters, silently), the POP3 settings and the name server to the
    // store, and clears the resolver's server-known flag. Throws CError on a
    // failure to save.
    void save();

    // True from a click on "Test IP" until its answer is in.
    bool isTestingNameServer() const { return m_testing; }

  public slots:
    void accept() override;

  private:
    void build();
    void fill(const platform::SystemConfigReader& nameServers);
    void useDomainName(bool byName);
    void onNameServerChosen(int index);
    void testNameServer();
    void onNameServerTested(bool passed);
    void refuse(const QString& text, QWidget* field);

    // What a name-server test shares with the dialog that started it: the
    // dialog takes itself out when it goes, under the mutex, so the test's
    // thread reports to a live dialog or to nobody.
    struct TestLink {
        std::mutex mutex;
        CPOP3* dialog = nullptr;  // guarded by mutex
    };

    ViewContext& m_context;
    // As read from the store; the address not chosen is saved back unchanged.
    Pop3Settings m_settings;
    bool m_useDomainName = true;
    bool m_testing = false;
    std::shared_ptr<TestLink> m_testLink;

    QRadioButton* m_byDomainName;
    QRadioButton* m_byIpNumber;
    QLineEdit* m_domainName;
    IpAddressEdit* m_serverIp;
    QLineEdit* m_pop3Port;
    QLineEdit* m_localPort;
    QLineEdit* m_flagWord;
    IpAddressEdit* m_nameServerIp;
    QComboBox* m_nameServers;
    QPushButton* m_testIp;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};
