#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "diag/Error.h"
#include "platform/SystemConfig.h"
#include "proxy/SpamFlagWord.h"
#include "rating/FakeNameServer.h"
#include "rating/NameServerDiscovery.h"
#include "store/SettingsFile.h"
#include "ui/IpAddressEdit.h"
#include "ui/POP3.h"

using Address = IpAddressEdit::Address;

namespace {

constexpr int kLong = 20000;

// One network interface whose "NameServer" value is `value`, so a test says
// exactly which texts the drop-down list offers.
class OneInterfaceReader : public platform::SystemConfigReader {
  public:
    explicit OneInterfaceReader(std::string value) : m_value(std::move(value)) {}

    std::optional<Key> openKey(std::string_view path) const override {
        if (path == platform::kTcpipInterfacesKey || path == interfacePath()) {
            return Key{std::string(path)};
        }
        return std::nullopt;
    }
    int subkeyCount(const Key& key) const override {
        return key.path == platform::kTcpipInterfacesKey ? 1 : 0;
    }

  protected:
    std::optional<std::string> readSubkeyName(const Key&, int index) const override {
        return index == 0 ? std::optional<std::string>("eth0") : std::nullopt;
    }
    std::optional<std::string> readValue(const Key& key, std::string_view name) const override {
        if (key.path == interfacePath() && name == platform::kNameServerValue) {
            return m_value;
        }
        return std::nullopt;
    }

  private:
    static std::string interfacePath() {
        return std::string(platform::kTcpipInterfacesKey) + "\\eth0";
    }

    std::string m_value;
};

Pop3Settings byIp() {
    Pop3Settings settings;
    settings.useDomainName = false;
    settings.serverName = "mail.example.net";
    settings.ip1 = 192;
    settings.ip2 = 0;
    settings.ip3 = 2;
    settings.ip4 = 7;
    settings.pop3Port = 995;
    settings.localPort = 2110;
    return settings;
}

// The dialog over a fixture, shown as the frame shows it, with its parts.
struct Dialog {
    explicit Dialog(UiFixture& ui, const std::string& nameServers = "")
        : reader(nameServers), dialog(ui.context(), reader) {
        dialog.show();
    }

    template <typename T>
    T* part(const char* name) {
        T* found = dialog.findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr) {
            qFatal("no part %s", name);
        }
        return found;
    }
    QRadioButton* byDomainName() { return part<QRadioButton>("byDomainName"); }
    QRadioButton* byIpNumber() { return part<QRadioButton>("byIpNumber"); }
    QLineEdit* domainName() { return part<QLineEdit>("domainName"); }
    IpAddressEdit* serverIp() { return part<IpAddressEdit>("serverIp"); }
    QLineEdit* pop3Port() { return part<QLineEdit>("pop3Port"); }
    QLineEdit* localPort() { return part<QLineEdit>("localPort"); }
    QLineEdit* flagWord() { return part<QLineEdit>("spamFlagWord"); }
    IpAddressEdit* nameServerIp() { return part<IpAddressEdit>("nameServerIp"); }
    QComboBox* nameServers() { return part<QComboBox>("nameServers"); }
    QPushButton* testIp() { return part<QPushButton>("testIp"); }
    QComboBox* security() { return part<QComboBox>("security"); }
    QPushButton* testConnection() { return part<QPushButton>("testConnection"); }
    QPushButton* trust() { return part<QPushButton>("trustCertificate"); }
    QString connectionReport() { return part<QPlainTextEdit>("connectionReport")->toPlainText(); }

    // Picks a mode from the drop-down list with the keyboard, as a user would.
    void chooseSecurity(const QString& label) {
        QComboBox* list = security();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Home);
        for (int i = 0; i < list->count() && list->currentText() != label; ++i) {
            QTest::keyClick(list, Qt::Key_Down);
        }
        QCOMPARE(list->currentText(), label);
    }

    // OK as the user presses it; true when the dialog closed accepted.
    bool pressOk() {
        QTest::mouseClick(part<QPushButton>("ok"), Qt::LeftButton);
        return !dialog.isVisible() && dialog.result() == QDialog::Accepted;
    }
    void retype(QLineEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    void choose(int entry) {
        QComboBox* list = nameServers();
        list->setFocus();
        // Keyboard choice from nothing chosen: Home picks the first entry.
        QTest::keyClick(list, Qt::Key_Home);
        for (int i = 0; i < entry; ++i) {
            QTest::keyClick(list, Qt::Key_Down);
        }
    }

    OneInterfaceReader reader;
    CPOP3 dialog;
};

// Titles of the group boxes from the top of the dialog down.
QStringList groupTitles(const QDialog& dialog) {
    QList<QGroupBox*> groups = dialog.findChildren<QGroupBox*>();
    std::sort(groups.begin(), groups.end(),
              [](const QGroupBox* a, const QGroupBox* b) { return a->y() < b->y(); });
    QStringList titles;
    for (const QGroupBox* group : groups) {
        titles << group->title();
    }
    return titles;
}

// Types into whichever field has the focus, as keystrokes go, so the input's
// own moves from field to field are part of what is typed. Starts as a click
// and select-all in the first field would.
void typeAddress(IpAddressEdit& edit, const QString& text) {
    edit.field(0)->setFocus();
    edit.field(0)->selectAll();
    for (const QChar c : text) {
        QTest::keyClick(edit.focusWidget(), c.toLatin1());
    }
}

ServerSecurity storedSecurity() {
    return SettingsFile::load().settings.security("main");
}

// A POP3 server on a loopback port that sends its greeting only once `release`
// is raised, which the test does from a timer of the GUI thread: a test
// connection that held up the GUI thread would never be greeted.
class HeldGreetingServer {
  public:
    static constexpr int kMostWaitsMs = 10000;

    HeldGreetingServer() : m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            qFatal("no loopback listener");
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~HeldGreetingServer() {
        release = true;
        m_thread.join();
        ::close(m_listener);
    }

    int port() const { return m_port; }
    std::string received() {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

    std::atomic<bool> release{false};

  private:
    void serve() {
        pollfd waiting{m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, kMostWaitsMs) != 1) {
            return;
        }
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        for (int waited = 0; !release && waited < kMostWaitsMs; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string greeting = "+OK held POP3 ready\r\n";
        if (!release) {
            ::close(client);
            return;
        }
        ::send(client, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        // What the client says next, until it closes or goes quiet.
        pollfd reading{client, POLLIN, 0};
        char buffer[256];
        while (::poll(&reading, 1, 2000) == 1) {
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            std::lock_guard lock(m_mutex);
            m_received.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(client);
    }

    int m_listener;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_received;
};

// Stands in for the server probe: records what it was asked to test, answers
// with `report`, or, with `waitForStop`, holds until the stop flag rises.
struct ScriptedProbe {
    ProbeReport report;
    bool waitForStop = false;
    std::mutex mutex;  // guards server and security
    std::optional<Pop3Settings> server;
    std::optional<ServerSecurity> security;
    std::atomic<bool> sawStop{false};

    CPOP3::Probe probe() {
        return [this](const Pop3Settings& tested, const ServerSecurity& chosen,
                      std::chrono::milliseconds, const std::atomic<bool>& stop) {
            ProbeReport answer;
            {
                std::lock_guard lock(mutex);
                server = tested;
                security = chosen;
                answer = report;
            }
            for (int slice = 0; waitForStop && !stop && slice < 1000; ++slice) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            // The last touch: the test may end as soon as it sees this.
            sawStop = stop.load();
            return answer;
        };
    }
};

ProbeReport untrustedCertificate() {
    ProbeReport report;
    report.failure =
        "Glimmerfen could not verify the certificate of 127.0.0.1: self-signed certificate";
    platform::CertificateReport certificate;
    certificate.protocol = "TLSv1.3";
    certificate.subject = "CN = home-server";
    certificate.issuer = "CN = home-server";
    certificate.notBefore = "Jan  1 00:00:00 2026 GMT";
    certificate.notAfter = "Jan  1 00:00:00 2036 GMT";
    for (std::size_t i = 0; i < certificate.digest.size(); ++i) {
        certificate.digest[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    certificate.verifyError = "self-signed certificate";
    report.certificate = certificate;
    return report;
}

Address storedNameServer(UiFixture& ui) {
    Address address{};
    if (!ui.store().getNameServerIP(address)) {
        qFatal("name server unreadable");
    }
    return address;
}

}  // namespace

class ServerSettingsTest : public QObject {
    Q_OBJECT

  private slots:
    void opensWithTheStoredSettings() {
        UiFixture ui;
        ui.store().setPOP3Settings(byIp());
        QVERIFY(ui.store().setNameServerIP({10, 1, 2, 3}));
        QVERIFY(proxy::writeSpamFlagWord("[junk]"));
        Dialog d(ui, "10.0.0.1,10.0.0.2");

        QCOMPARE(d.dialog.windowTitle(), QStringLiteral("Server Settings"));
        QCOMPARE(
            groupTitles(d.dialog),
            (QStringList{
                "Enter Email (POP3) Server Address", "Enter POP3 Port Number (usually 110)",
                "Test Connection to the POP3 Server", "Enter Local Server Port Number (1025-5000)",
                "Spam Flag Word (2 to 20 chars)", "Enter or Select Name Server IP"}));
        QCOMPARE(d.byDomainName()->text(), QStringLiteral("as domain name"));
        QCOMPARE(d.byIpNumber()->text(), QStringLiteral("as IP number"));
        QCOMPARE(d.testIp()->text(), QStringLiteral("Test IP"));
        QCOMPARE(d.testConnection()->text(), QStringLiteral("Test Connection"));
        QCOMPARE(d.trust()->text(), QStringLiteral("Trust This Certificate"));
        QVERIFY(!d.trust()->isEnabled());
        QCOMPARE(d.security()->count(), 3);
        QCOMPARE(d.security()->itemText(0), QStringLiteral("None"));
        QCOMPARE(d.security()->itemText(1), QStringLiteral("STARTTLS"));
        QCOMPARE(d.security()->itemText(2), QStringLiteral("SSL/TLS"));
        // Nothing in the settings file yet: the defaults.
        QCOMPARE(d.security()->currentText(), QStringLiteral("None"));
        QCOMPARE(d.part<QPushButton>("ok")->text(), QStringLiteral("OK"));
        QCOMPARE(d.part<QPushButton>("cancel")->text(), QStringLiteral("Cancel"));

        QVERIFY(d.byIpNumber()->isChecked());
        QVERIFY(!d.byDomainName()->isChecked());
        QVERIFY(d.serverIp()->isEnabled());
        QVERIFY(!d.domainName()->isEnabled());
        QCOMPARE(d.domainName()->text(), QStringLiteral("mail.example.net"));
        QCOMPARE(d.serverIp()->address(), (Address{192, 0, 2, 7}));
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("995"));
        QCOMPARE(d.localPort()->text(), QStringLiteral("2110"));
        QCOMPARE(d.flagWord()->text(), QStringLiteral("[junk]"));
        QCOMPARE(d.nameServerIp()->text(), QStringLiteral("10.1.2.3"));
        QCOMPARE(d.nameServers()->count(), 2);
        QCOMPARE(d.nameServers()->itemText(0), QStringLiteral("10.0.0.1"));
        QCOMPARE(d.nameServers()->itemText(1), QStringLiteral("10.0.0.2"));
        QCOMPARE(d.nameServers()->currentIndex(), -1);
    }

    void offersTheSystemsNameServers() {
        UiFixture ui;
        const platform::ResolvConfReader system;
        NameServerDiscovery discovery(system);
        discovery.discover();
        CPOP3 dialog(ui.context());
        auto* list = dialog.findChild<QComboBox*>(QStringLiteral("nameServers"));
        QStringList expected;
        for (const std::string& server : discovery.servers()) {
            expected << QString::fromStdString(server);
        }
        QStringList offered;
        for (int i = 0; i < list->count(); ++i) {
            offered << list->itemText(i);
        }
        QCOMPARE(offered, expected);
    }

    void missingStoreFailsWithItsError() {
        UiFixture ui;
        std::filesystem::remove(ui.store().fileName());
        try {
            CPOP3 dialog(ui.context());
            QFAIL("opened without a store");
        } catch (const CError& error) {
            QVERIFY(error.m_message.find("CDatabase::getPOP3Settings") != std::string::npos);
        }
    }

    void radioButtonsEnableOneInputEach() {
        UiFixture ui;
        Dialog d(ui);
        QVERIFY(d.byDomainName()->isChecked());
        QVERIFY(d.domainName()->isEnabled());
        QVERIFY(!d.serverIp()->isEnabled());

        QTest::mouseClick(d.byIpNumber(), Qt::LeftButton);
        QVERIFY(!d.byDomainName()->isChecked());
        QVERIFY(!d.domainName()->isEnabled());
        QVERIFY(d.serverIp()->isEnabled());
        QVERIFY(d.serverIp()->field(3)->isEnabled());

        QTest::mouseClick(d.byDomainName(), Qt::LeftButton);
        QVERIFY(!d.byIpNumber()->isChecked());
        QVERIFY(d.domainName()->isEnabled());
        QVERIFY(!d.serverIp()->isEnabled());
    }

    void settingsRoundTripByNameAndByIp_data() {
        QTest::addColumn<bool>("byName");
        QTest::newRow("by domain name") << true;
        QTest::newRow("by IP number") << false;
    }

    void settingsRoundTripByNameAndByIp() {
        QFETCH(bool, byName);
        UiFixture ui;
        Pop3Settings before = byIp();
        before.useDomainName = !byName;
        ui.store().setPOP3Settings(before);
        {
            Dialog d(ui);
            QTest::mouseClick(byName ? d.byDomainName() : d.byIpNumber(), Qt::LeftButton);
            d.retype(d.domainName(), QStringLiteral("pop.example.org"));
            d.serverIp()->setAddress({198, 51, 100, 25});
            d.retype(d.pop3Port(), QStringLiteral("1110"));
            d.retype(d.localPort(), QStringLiteral("4321"));
            d.nameServerIp()->setAddress({203, 0, 113, 53});
            QVERIFY(d.pressOk());
            d.dialog.save();
        }
        Pop3Settings expected = before;
        expected.useDomainName = byName;
        // Only the chosen address is taken; the other stays as it was stored.
        if (byName) {
            expected.serverName = "pop.example.org";
        } else {
            expected.ip1 = 198;
            expected.ip2 = 51;
            expected.ip3 = 100;
            expected.ip4 = 25;
        }
        expected.pop3Port = 1110;
        expected.localPort = 4321;
        QCOMPARE(ui.store().getPOP3Settings(), expected);
        QCOMPARE(storedNameServer(ui), (Address{203, 0, 113, 53}));

        Dialog again(ui);
        QCOMPARE(again.byDomainName()->isChecked(), byName);
        QCOMPARE(again.byIpNumber()->isChecked(), !byName);
        QCOMPARE(again.domainName()->isEnabled(), byName);
        QCOMPARE(again.serverIp()->isEnabled(), !byName);
        QCOMPARE(again.pop3Port()->text(), QStringLiteral("1110"));
        QCOMPARE(again.localPort()->text(), QStringLiteral("4321"));
        QCOMPARE(again.nameServerIp()->address(), (Address{203, 0, 113, 53}));
    }

    void securityChoiceMovesTheUsualPort() {
        UiFixture ui;
        Dialog d(ui);
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("110"));
        d.chooseSecurity(QStringLiteral("SSL/TLS"));
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("995"));
        d.chooseSecurity(QStringLiteral("None"));
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("110"));
        d.chooseSecurity(QStringLiteral("SSL/TLS"));
        d.chooseSecurity(QStringLiteral("STARTTLS"));
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("110"));

        // A port of the user's own is left alone either way.
        d.retype(d.pop3Port(), QStringLiteral("1110"));
        d.chooseSecurity(QStringLiteral("SSL/TLS"));
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("1110"));
        d.chooseSecurity(QStringLiteral("None"));
        QCOMPARE(d.pop3Port()->text(), QStringLiteral("1110"));
    }

    void securityIsSavedBesideTheStoreOnOk() {
        UiFixture ui;
        const auto pin = platform::parseFingerprint(std::string(64, 'b'));
        QVERIFY(pin.has_value());
        Settings before;
        before.at("main").security.pin = pin;
        before.at("second").security.mode = Security::Tls;
        before.at("second").pop3 = Pop3Settings{true, "pop.example.com", 0, 0, 0, 0, 995, 1071};
        SettingsFile::save(before);
        {
            Dialog d(ui);
            d.chooseSecurity(QStringLiteral("SSL/TLS"));
            QVERIFY(d.pressOk());
            d.dialog.save();
        }
        QCOMPARE(storedSecurity(), (ServerSecurity{Security::Tls, pin}));
        QCOMPARE(SettingsFile::load().settings.security("second").mode, Security::Tls);
        QCOMPARE(ui.store().getPOP3Settings().pop3Port, 995);

        Dialog again(ui);
        QCOMPARE(again.security()->currentText(), QStringLiteral("SSL/TLS"));
        QCOMPARE(again.pop3Port()->text(), QStringLiteral("995"));
        QVERIFY(ui.prompter().told.isEmpty());
    }

    void damagedSettingsFileIsToldAndTheDefaultsShown() {
        UiFixture ui;
        writeWholeFile(SettingsFile::kFileName, "[account main]\nsecurity = carrier-pigeon\n");
        Dialog d(ui);
        QCOMPARE(ui.prompter().told.size(), 1);
        QVERIFY(ui.prompter().told[0].endsWith(
            "The connection security shows its default until you save it again."));
        QCOMPARE(d.security()->currentText(), QStringLiteral("None"));
        // Set aside, not lost.
        QVERIFY(!std::filesystem::exists(SettingsFile::kFileName));
        bool setAside = false;
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            setAside = setAside || entry.path().filename().string().starts_with(
                                       std::string(SettingsFile::kFileName) + ".damaged-");
        }
        QVERIFY(setAside);
    }

    void securityThatCannotBeSavedKeepsTheDialogOpen() {
        UiFixture ui;
        const Pop3Settings before = ui.store().getPOP3Settings();
        Dialog d(ui);
        d.chooseSecurity(QStringLiteral("SSL/TLS"));
        // Nothing can read or replace a directory in the file's place.
        std::filesystem::create_directory(SettingsFile::kFileName);
        QVERIFY(!d.pressOk());
        QVERIFY(d.dialog.isVisible());
        QCOMPARE(ui.prompter().told.size(), 1);
        QVERIFY(ui.prompter().told[0].startsWith(
            "The connection security could not be saved, so nothing was saved:"));
        QCOMPARE(ui.store().getPOP3Settings(), before);
        QCOMPARE(d.security()->currentText(), QStringLiteral("SSL/TLS"));
    }

    void testConnectionShowsTheGreetingWhileTheWindowLives() {
        UiFixture ui;
        const Pop3Settings before = ui.store().getPOP3Settings();
        HeldGreetingServer server;
        Dialog d(ui);
        QTest::mouseClick(d.byIpNumber(), Qt::LeftButton);
        d.serverIp()->setAddress({127, 0, 0, 1});
        d.retype(d.pop3Port(), QString::number(server.port()));
        QTest::mouseClick(d.testConnection(), Qt::LeftButton);
        QVERIFY(d.dialog.isTestingConnection());
        QVERIFY(!d.testConnection()->isEnabled());
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (++ticks == 3) {
                server.release = true;
            }
        });
        ticker.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(!d.dialog.isTestingConnection(), kLong);
        QCOMPARE(d.connectionReport(),
                 QStringLiteral("The server's greeting: +OK held POP3 ready\n"
                                "The connection to the server is not encrypted."));
        QVERIFY(d.testConnection()->isEnabled());
        QVERIFY(!d.trust()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(server.received().find("QUIT") != std::string::npos, kLong);
        QVERIFY(server.received().find("USER") == std::string::npos);
        // A test is not a setting.
        QCOMPARE(ui.store().getPOP3Settings(), before);
        QVERIFY(ui.prompter().told.isEmpty());
    }

    void trustThisCertificateKeepsThePinForOk() {
        UiFixture ui;
        ScriptedProbe probe;
        probe.report = untrustedCertificate();
        const platform::CertificateDigest digest = probe.report.certificate->digest;
        Dialog d(ui);
        d.dialog.setProbe(probe.probe());
        QTest::mouseClick(d.byIpNumber(), Qt::LeftButton);
        d.serverIp()->setAddress({127, 0, 0, 1});
        d.chooseSecurity(QStringLiteral("SSL/TLS"));
        QTest::mouseClick(d.testConnection(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!d.dialog.isTestingConnection(), kLong);
        {
            std::lock_guard lock(probe.mutex);
            QCOMPARE(probe.server->pop3Port, 995);
            QCOMPARE(probe.server->useDomainName, false);
            QCOMPARE(probe.security->mode, Security::Tls);
        }
        const QString fingerprint = QString::fromStdString(platform::fingerprintText(digest));
        const QString report = d.connectionReport();
        QVERIFY(report.startsWith("Failed: Glimmerfen could not verify the certificate"));
        QVERIFY(report.contains("Certificate subject: CN = home-server"));
        QVERIFY(report.contains("SHA-256 fingerprint: " + fingerprint));
        QVERIFY(report.contains("Verified: no, self-signed certificate"));
        QVERIFY(d.trust()->isEnabled());

        // No, then Yes: only a confirmed certificate is taken.
        ui.prompter().answer({false, true});
        QTest::mouseClick(d.trust(), Qt::LeftButton);
        QVERIFY(!d.dialog.security().pin);
        QTest::mouseClick(d.trust(), Qt::LeftButton);
        QCOMPARE(ui.prompter().asked.size(), 2);
        QVERIFY(ui.prompter().asked[1].contains(fingerprint));
        QCOMPARE(d.dialog.security().pin, std::optional(digest));
        QVERIFY(!d.trust()->isEnabled());
        QVERIFY(!std::filesystem::exists(SettingsFile::kFileName));

        QVERIFY(d.pressOk());
        QCOMPARE(storedSecurity(), (ServerSecurity{Security::Tls, digest}));
    }

    void trustNeedsTheServerThatWasTested() {
        UiFixture ui;
        ScriptedProbe probe;
        probe.report = untrustedCertificate();
        Dialog d(ui);
        d.dialog.setProbe(probe.probe());
        d.retype(d.domainName(), QStringLiteral("pop.example.org"));
        QTest::mouseClick(d.testConnection(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(d.trust()->isEnabled(), kLong);
        d.retype(d.domainName(), QStringLiteral("pop.example.net"));
        ui.prompter().answer({true});
        QTest::mouseClick(d.trust(), Qt::LeftButton);
        QVERIFY(ui.prompter().asked.isEmpty());
        QCOMPARE(ui.prompter().told.size(), 1);
        QVERIFY(!d.dialog.security().pin);
    }

    void cancelStopsAConnectionTestAndSavesNothing() {
        UiFixture ui;
        ScriptedProbe probe;
        probe.waitForStop = true;
        {
            Dialog d(ui);
            d.dialog.setProbe(probe.probe());
            d.chooseSecurity(QStringLiteral("STARTTLS"));
            QTest::mouseClick(d.testConnection(), Qt::LeftButton);
            QVERIFY(d.dialog.isTestingConnection());
            QTest::mouseClick(d.part<QPushButton>("cancel"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(probe.sawStop, kLong);
        }
        QCoreApplication::processEvents();
        QVERIFY(ui.prompter().told.isEmpty());
        // Cancel keeps what was saved.
        QVERIFY(!std::filesystem::exists(SettingsFile::kFileName));
    }

    void okRunsAsAModalDialog() {
        UiFixture ui;
        CPOP3 dialog(ui.context());
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &dialog) {
                return false;
            }
            dialog.findChild<QPushButton*>(QStringLiteral("ok"))->click();
            return true;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
    }

    void portTextsConvertAsDecimalNumbers_data() {
        QTest::addColumn<QString>("pop3Text");
        QTest::addColumn<QString>("localText");
        QTest::addColumn<int>("pop3Port");
        QTest::addColumn<int>("localPort");
        QTest::newRow("plain") << "110"
                               << "1070" << 110 << 1070;
        QTest::newRow("leading number of a text") << "995 (SSL)"
                                                  << " 2000x" << 995 << 2000;
        QTest::newRow("range ends") << "65535"
                                    << "1025" << 65535 << 1025;
        QTest::newRow("upper local end") << "1"
                                         << "5000" << 1 << 5000;
    }

    void portTextsConvertAsDecimalNumbers() {
        QFETCH(QString, pop3Text);
        QFETCH(QString, localText);
        QFETCH(int, pop3Port);
        QFETCH(int, localPort);
        UiFixture ui;
        Dialog d(ui);
        d.retype(d.pop3Port(), pop3Text);
        d.retype(d.localPort(), localText);
        QVERIFY(d.pressOk());
        d.dialog.save();
        const Pop3Settings saved = ui.store().getPOP3Settings();
        QCOMPARE(saved.pop3Port, pop3Port);
        QCOMPARE(saved.localPort, localPort);
        QVERIFY(ui.prompter().told.isEmpty());
    }

    void portsThatCannotWorkAreRefused_data() {
        QTest::addColumn<QString>("pop3Text");
        QTest::addColumn<QString>("localText");
        QTest::addColumn<QString>("message");
        const QString pop3 = QStringLiteral("The POP3 port must be a number from 1 to 65535.");
        const QString local =
            QStringLiteral("The local server port must be a number from 1025 to 5000.");
        QTest::newRow("local port below range") << "110"
                                                << "1024" << local;
        QTest::newRow("local port above range") << "110"
                                                << "5001" << local;
        QTest::newRow("local port not a number") << "110"
                                                 << "port" << local;
        QTest::newRow("local port empty") << "110"
                                          << "" << local;
        QTest::newRow("POP3 port beyond 16 bits") << "65646"
                                                  << "1070" << pop3;
        QTest::newRow("POP3 port zero") << "0"
                                        << "1070" << pop3;
        QTest::newRow("POP3 port negative") << "-110"
                                            << "1070" << pop3;
        QTest::newRow("POP3 port of many digits") << "99999999999999999999"
                                                  << "1070" << pop3;
    }

    void portsThatCannotWorkAreRefused() {
        QFETCH(QString, pop3Text);
        QFETCH(QString, localText);
        QFETCH(QString, message);
        UiFixture ui;
        const Pop3Settings before = ui.store().getPOP3Settings();
        Dialog d(ui);
        d.retype(d.pop3Port(), pop3Text);
        d.retype(d.localPort(), localText);
        QVERIFY(!d.pressOk());
        QVERIFY(d.dialog.isVisible());
        QCOMPARE(ui.prompter().told, QStringList{message});
        QCOMPARE(ui.store().getPOP3Settings(), before);
    }

    void aLocalPortAnotherAccountHasIsRefused() {
        UiFixture ui;
        const Pop3Settings before = ui.store().getPOP3Settings();
        Settings other;
        other.at("second").pop3 = Pop3Settings{true, "pop.example.com", 0, 0, 0, 0, 995, 1071};
        SettingsFile::save(other);
        Dialog d(ui);
        d.retype(d.localPort(), QStringLiteral("1071"));
        QVERIFY(!d.pressOk());
        QCOMPARE(ui.prompter().told,
                 QStringList{"The local port 1071 is taken by the account second"});
        QCOMPARE(ui.store().getPOP3Settings(), before);
    }

    void flagWordOfTwoToTwentyCharactersIsSaved_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        const QString old = QStringLiteral("OldWord");
        QTest::newRow("20 characters") << "ABCDEFGHIJ0123456789"
                                       << "ABCDEFGHIJ0123456789";
        QTest::newRow("2 characters") << "**"
                                      << "**";
        QTest::newRow("21 characters") << "ABCDEFGHIJ0123456789X" << old;
        QTest::newRow("1 character") << "*" << old;
        QTest::newRow("empty") << "" << old;
        QTest::newRow("far too long") << "ABCDEFGHIJ0123456789ABCDEFGHIJ" << old;
        QTest::newRow("beyond Latin-1") << QStringLiteral("Spam\u263A") << old;
    }

    void flagWordOfTwoToTwentyCharactersIsSaved() {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        UiFixture ui;
        QVERIFY(proxy::writeSpamFlagWord("OldWord"));
        {
            Dialog d(ui);
            // Set rather than typed: a word may be pasted, and key clicks carry Latin-1 only.
            d.flagWord()->setText(typed);
            QVERIFY(d.pressOk());
            d.dialog.save();
        }
        QVERIFY(ui.prompter().told.isEmpty());
        QCOMPARE(QString::fromLatin1(proxy::readSpamFlagWord()), kept);
        Dialog again(ui);
        QCOMPARE(again.flagWord()->text(), kept);
    }

    void missingFlagWordFileShowsTheDefault() {
        UiFixture ui;
        QVERIFY(!std::filesystem::exists(proxy::kSpamFlagFile));
        Dialog d(ui);
        QCOMPARE(d.flagWord()->text(), QStringLiteral("*GLIMMERFENED!*"));
    }

    void storeFailureOnSaveComesOutAsAnError() {
        UiFixture ui;
        Dialog d(ui);
        d.retype(d.flagWord(), QStringLiteral("NewWord"));
        QVERIFY(d.pressOk());
        std::filesystem::remove(ui.store().fileName());
        try {
            d.dialog.save();
            QFAIL("saved without a store");
        } catch (const CError& error) {
            QVERIFY(error.m_message.find("CDatabase::setPOP3Settings") != std::string::npos);
        }
        // The word was written before the store was tried.
        QCOMPARE(proxy::readSpamFlagWord(), std::string("NewWord"));
    }

    void unwritableFlagWordIsReportedAfterTheRestIsSaved() {
        UiFixture other;
        std::filesystem::create_directory(proxy::kSpamFlagFile);
        Dialog d(other);
        d.retype(d.flagWord(), QStringLiteral("NewWord"));
        d.retype(d.localPort(), QStringLiteral("3333"));
        QVERIFY(d.pressOk());
        try {
            d.dialog.save();
            QFAIL("a word that could not be written passed for saved");
        } catch (const CError& error) {
            QVERIFY(error.m_message.find("CPOP3::save") != std::string::npos);
        }
        // Everything else was saved all the same.
        QCOMPARE(other.store().getPOP3Settings().localPort, 3333);
    }

    void ipInputTakesFourNumbersUpTo255() {
        IpAddressEdit edit;
        edit.show();
        QCOMPARE(edit.text(), QStringLiteral("0.0.0.0"));
        typeAddress(edit, QStringLiteral("10.2.255.7"));
        QCOMPARE(edit.address(), (Address{10, 2, 255, 7}));

        // Three digits complete a number; a point right after them changes nothing.
        IpAddressEdit full;
        full.show();
        typeAddress(full, QStringLiteral("192168.10020"));
        QCOMPARE(full.text(), QStringLiteral("192.168.100.20"));

        IpAddressEdit refusing;
        refusing.show();
        QTest::keyClicks(refusing.field(1), QStringLiteral("256"));
        QTest::keyClicks(refusing.field(2), QStringLiteral("-1a"));
        QCOMPARE(refusing.field(1)->text(), QStringLiteral("25"));
        QCOMPARE(refusing.field(2)->text(), QStringLiteral("1"));
        refusing.setAddress({1, 2, 3, 4});
        refusing.field(3)->clear();
        QCOMPARE(refusing.address(), (Address{1, 2, 3, 0}));
    }

    void nameServerEntryFillsTheIpInput_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("shown");
        const QString unchanged = QStringLiteral("10.1.2.3");
        QTest::newRow("dotted quad") << "192.0.2.53"
                                     << "192.0.2.53";
        QTest::newRow("space-separated pair") << "10.0.0.1 10.0.0.2"
                                              << "10.0.0.1";
        QTest::newRow("fourth number read from the rest") << "172.16.0.9%eth0"
                                                          << "172.16.0.9";
        QTest::newRow("two points") << "10.0.1" << unchanged;
        QTest::newRow("no point") << "localhost" << unchanged;
        QTest::newRow("IPv6") << "fe80::1" << unchanged;
        QTest::newRow("number above 255") << "300.1.1.1" << unchanged;
        QTest::newRow("not numbers") << "a.b.c.d" << unchanged;
    }

    void nameServerEntryFillsTheIpInput() {
        QFETCH(QString, entry);
        QFETCH(QString, shown);
        UiFixture ui;
        QVERIFY(ui.store().setNameServerIP({10, 1, 2, 3}));
        // The entry under test comes second, so choosing it is a change.
        Dialog d(ui, "198.51.100.1," + entry.toStdString());
        QCOMPARE(d.nameServers()->count(), 2);
        d.choose(0);
        QCOMPARE(d.nameServerIp()->text(), QStringLiteral("198.51.100.1"));
        d.nameServerIp()->setAddress({10, 1, 2, 3});
        d.choose(1);
        QCOMPARE(d.nameServers()->currentText(), entry);
        QCOMPARE(d.nameServerIp()->text(), shown);
    }

    void testIpPassesWithAWorkingNameServer() {
        FakeNameServer server(std::vector{FakeReply::responseCode(3)});
        QVERIFY(server.ready());
        UiFixture ui(server.port());
        QVERIFY(ui.store().setNameServerIP({192, 0, 2, 1}));
        Dialog d(ui);
        typeAddress(*d.nameServerIp(), QStringLiteral("127.0.0.1"));
        QCOMPARE(d.nameServerIp()->text(), QStringLiteral("127.0.0.1"));
        QTest::mouseClick(d.testIp(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ui.prompter().told, QStringList{"Passed: DNS IP works"}, kLong);
        QCOMPARE(server.queryNames(), std::vector<std::string>{"2.0.0.127.sbl-xbl.spamhaus.org"});
        QVERIFY(d.testIp()->isEnabled());
        QVERIFY(!d.dialog.isTestingNameServer());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        // A test is not a setting.
        QCOMPARE(storedNameServer(ui), (Address{192, 0, 2, 1}));
    }

    void testIpFailsWithASilentNameServer() {
        FakeNameServer server(std::vector<FakeReply>{});
        QVERIFY(server.ready());
        UiFixture ui(server.port());
        Dialog d(ui);
        d.nameServerIp()->setAddress({127, 0, 0, 1});
        QTest::mouseClick(d.testIp(), Qt::LeftButton);
        QVERIFY(d.dialog.isTestingNameServer());
        QVERIFY(!d.testIp()->isEnabled());
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        // Clicks while the test runs start nothing.
        QTest::mouseClick(d.testIp(), Qt::LeftButton);
        QTest::mouseClick(d.testIp(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ui.prompter().told, QStringList{"Failed: DNS IP failed."}, kLong);
        QCOMPARE(server.queries().size(), std::size_t{1});
        QVERIFY(d.testIp()->isEnabled());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void testIpDoesNotWaitForBlockListQueries() {
        const std::string testName = "2.0.0.127.sbl-xbl.spamhaus.org";
        FakeNameServer server([&](const std::string& name) {
            return name == testName ? FakeReply::responseCode(3) : FakeReply::silence();
        });
        QVERIFY(server.ready());
        UiFixture ui(server.port());
        QVERIFY(ui.store().setNameServerIP({127, 0, 0, 1}));
        // A block-list query of the proxy's, which nobody answers: the process's
        // resolver is busy with it for its whole wait.
        std::atomic<bool> queryEnded{false};
        std::thread proxyQuery([&] {
            ui.objects().resolver.queryDnsbl("198.18.0.9", 0);
            queryEnded = true;
        });
        QTRY_COMPARE_WITH_TIMEOUT(server.queries().size(), std::size_t{1}, kLong);
        {
            Dialog d(ui);
            d.nameServerIp()->setAddress({127, 0, 0, 1});
            QTest::mouseClick(d.testIp(), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(ui.prompter().told, QStringList{"Passed: DNS IP works"},
                                      kLong);
            // Answered while the proxy's query still waited: the test took no
            // turn behind it, and closing the dialog has nothing to wait for.
            QVERIFY(!queryEnded);
        }
        proxyQuery.join();
        QCOMPARE(server.queryNames().back(), testName);
    }

    void closingDuringATestLeavesNoTrace() {
        FakeNameServer server(std::vector<FakeReply>{});
        QVERIFY(server.ready());
        UiFixture ui(server.port());
        {
            Dialog d(ui);
            d.nameServerIp()->setAddress({127, 0, 0, 1});
            QTest::mouseClick(d.testIp(), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(server.queries().size(), std::size_t{1}, kLong);
            QTest::mouseClick(d.part<QPushButton>("cancel"), Qt::LeftButton);
            QVERIFY(!d.dialog.isVisible());
        }
        QCoreApplication::processEvents();
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(ui.prompter().told.isEmpty());
    }

    void okMakesTheNextQueryGoToTheNewNameServer() {
        FakeNameServer server(std::vector{FakeReply::listed(127, 0, 0, 2)});
        QVERIFY(server.ready());
        UiFixture ui(server.port());
        // Nobody answers on 127.0.0.9; the resolver learns that server first.
        QVERIFY(ui.store().setNameServerIP({127, 0, 0, 9}));
        QCOMPARE(ui.objects().resolver.queryDnsbl("192.0.2.1", 0), -1);
        QVERIFY(server.queries().empty());
        {
            Dialog d(ui);
            d.nameServerIp()->setAddress({127, 0, 0, 1});
            QVERIFY(d.pressOk());
            d.dialog.save();
        }
        QCOMPARE(storedNameServer(ui), (Address{127, 0, 0, 1}));
        QCOMPARE(ui.objects().resolver.queryDnsbl("192.0.2.1", 0), 2);
        QCOMPARE(server.queryNames(), std::vector<std::string>{"1.2.0.192.sbl-xbl.spamhaus.org"});
    }
};

GLIMMERFEN_UI_TEST_MAIN(ServerSettingsTest)
#include "tst_serversettings.moc"
