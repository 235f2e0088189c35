#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "ModalWatch.h"
#include "ServedFixture.h"
#include "store/AccountBook.h"
#include "store/SettingsFile.h"
#include "ui/FirstStartAssistant.h"

namespace {

constexpr int kLong = 20000;

// Stands in for the server probe: records what it was asked to test and
// answers with a certificate that could not be verified.
struct FakeProbe {
    std::mutex mutex;  // guards tested
    std::optional<std::pair<Pop3Settings, ServerSecurity>> tested;
    platform::CertificateReport certificate;

    FakeProbe() {
        certificate.protocol = "TLSv1.3";
        certificate.subject = "CN = home-server";
        certificate.issuer = "CN = home-server";
        certificate.digest.fill(0xC4);
        certificate.verifyError = "self-signed certificate";
    }

    ProbeRunner::Probe probe() {
        return [this](const Pop3Settings& server, const ServerSecurity& security,
                      std::chrono::milliseconds, const std::atomic<bool>&) {
            std::lock_guard lock(mutex);
            tested = std::make_pair(server, security);
            ProbeReport report;
            report.failure = "Glimmerfen could not verify the certificate of " + server.serverName +
                             ": self-signed certificate";
            report.certificate = certificate;
            return report;
        };
    }
};

struct Assistant {
    explicit Assistant(ServedFixture& f) : wizard(f.ui.context(), f.servers) {
        wizard.setProbe(probe.probe());
        wizard.show();
    }

    template <typename T>
    T* part(const char* name) {
        return wizard.findChild<T*>(QString::fromLatin1(name));
    }
    void type(const char* field, const QString& text) {
        auto* edit = part<QLineEdit>(field);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    void chooseSecurity(const QString& label) {
        auto* list = part<QComboBox>("security");
        list->setCurrentIndex(list->findText(label));
    }
    void press(QWizard::WizardButton which) {
        QTest::mouseClick(wizard.button(which), Qt::LeftButton);
    }

    FakeProbe probe;
    FirstStartAssistant wizard;
};

}  // namespace

class AssistantTest : public QObject {
    Q_OBJECT

  private slots:
    void finishSavesMainAfterTheTestAndTheClientPage_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("byName");
        QTest::newRow("domain name") << "pop.mail.test" << true;
        QTest::newRow("IP number") << "192.0.2.7" << false;
    }

    void finishSavesMainAfterTheTestAndTheClientPage() {
        QFETCH(QString, server);
        QFETCH(bool, byName);
        ServedFixture f;
        QVERIFY(f.mainLocalPort() != 0);
        Assistant a(f);
        QCOMPARE(a.wizard.windowTitle(), QStringLiteral("Glimmerfen Setup"));
        // A new store's placeholder is not offered as the person's server.
        QCOMPARE(a.part<QLineEdit>("serverName")->text(), QString());
        QCOMPARE(a.part<QComboBox>("security")->currentText(), QStringLiteral("SSL/TLS"));
        QCOMPARE(a.part<QLineEdit>("serverPort")->text(), QStringLiteral("995"));
        a.chooseSecurity(QStringLiteral("None"));
        QCOMPARE(a.part<QLineEdit>("serverPort")->text(), QStringLiteral("110"));
        a.chooseSecurity(QStringLiteral("SSL/TLS"));
        QCOMPARE(a.part<QLineEdit>("serverPort")->text(), QStringLiteral("995"));
        a.type("serverName", server);

        a.press(QWizard::NextButton);
        QCOMPARE(a.wizard.currentId(), int(FirstStartAssistant::kTestPage));
        auto* trust = a.part<QPushButton>("trustCertificate");
        QTRY_VERIFY_WITH_TIMEOUT(trust->isEnabled(), kLong);
        {
            std::lock_guard lock(a.probe.mutex);
            QCOMPARE(a.probe.tested->first.useDomainName, byName);
            QCOMPARE(a.probe.tested->first.pop3Port, 995);
            QCOMPARE(a.probe.tested->second.mode, Security::Tls);
        }
        const QString report = a.part<QPlainTextEdit>("testReport")->toPlainText();
        QVERIFY2(report.startsWith("Failed: Glimmerfen could not verify the certificate"),
                 qPrintable(report));
        QVERIFY(report.contains("Verified: no, self-signed certificate"));
        f.ui.prompter().answer({true});
        QTest::mouseClick(trust, Qt::LeftButton);
        QCOMPARE(f.ui.prompter().asked.size(), 1);

        a.press(QWizard::NextButton);
        QCOMPARE(a.wizard.currentId(), int(FirstStartAssistant::kClientPage));
        const QString client = a.part<QLabel>("clientSettings")->text();
        QVERIFY(client.contains("Incoming mail server (POP3): 127.0.0.1\n"));
        QVERIFY(client.contains(QStringLiteral("\nPort: %1\n").arg(f.mainLocalPort())));
        QVERIFY(client.contains("\nConnection security: None\n"));
        QVERIFY(client.contains("User name and password: unchanged"));
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(a.part<QPushButton>("copy"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), client);

        a.press(QWizard::FinishButton);
        QVERIFY(!a.wizard.isVisible());
        QCOMPARE(a.wizard.result(), int(QDialog::Accepted));
        QVERIFY(f.ui.prompter().told.isEmpty());
        const Account main = *AccountBook(f.ui.store()).find("main");
        QCOMPARE(main.pop3.useDomainName, byName);
        QCOMPARE(QString::fromStdString(serverText(main.pop3)), server + ":995");
        QCOMPARE(main.pop3.localPort, f.mainLocalPort());
        QCOMPARE(main.security, (ServerSecurity{Security::Tls, a.probe.certificate.digest}));
        // The servers were reloaded: main listens with what was saved.
        QTRY_COMPARE_WITH_TIMEOUT(f.servers.listeningCount(), 1, kLong);
    }

    void aServerThatBreaksTheRulesKeepsTheFirstPage() {
        ServedFixture f;
        Assistant a(f);
        a.type("serverName", QStringLiteral("pop mail test"));
        a.press(QWizard::NextButton);
        QCOMPARE(a.wizard.currentId(), int(FirstStartAssistant::kServerPage));
        QCOMPARE(f.ui.prompter().told.size(), 1);
        QVERIFY(f.ui.prompter().told[0].startsWith("The account main needs a server"));
    }

    void cancelSavesNothing() {
        ServedFixture f;
        const Pop3Settings before = f.ui.store().getPOP3Settings();
        Assistant a(f);
        a.type("serverName", QStringLiteral("pop.mail.test"));
        a.press(QWizard::NextButton);
        QTRY_VERIFY_WITH_TIMEOUT(!a.wizard.isTesting(), kLong);
        a.press(QWizard::NextButton);
        QCOMPARE(a.wizard.currentId(), int(FirstStartAssistant::kClientPage));
        a.press(QWizard::CancelButton);
        QVERIFY(!a.wizard.isVisible());
        QCOMPARE(f.ui.store().getPOP3Settings(), before);
        QVERIFY(!std::filesystem::exists(SettingsFile::kFileName));
        QCOMPARE(f.servers.status().size(), std::size_t{0});
    }
};

GLIMMERFEN_UI_TEST_MAIN(AssistantTest)
#include "tst_assistant.moc"
