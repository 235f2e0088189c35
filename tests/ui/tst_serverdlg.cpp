#include <atomic>

#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "proxy/AccountServers.h"
#include "proxy/ProxyState.h"
#include "ui/ServerDlg.h"

namespace {

constexpr int kLong = 20000;


// A real proxy on a free local port, counting how often it started listening.
struct Proxy {
    explicit Proxy(UiFixture& ui)
        : services(countingStarts(ui.objects().proxyServices())), server(services) {}

    ProxyServices countingStarts(ProxyServices shared) {
        shared.listening = [this](const Account&, std::uint16_t) { ++starts; };
        return shared;
    }

    bool running() const {
        const std::vector<AccountStatus> status = server.status();
        return !status.empty() && status.front().listening();
    }

    ProxyServices services;
    std::atomic<int> starts{0};
    AccountServers server;
};

QPushButton* button(CServerDlg& dialog, const char* name) {
    return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}

// Clicks later, from the event loop, so that the message box the click opens
// runs its loop outside the watch's handler.
void clickLater(QPushButton* button) {
    QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
}

}  // namespace

class ServerDlgTest : public QObject {
    Q_OBJECT

  private slots:
    void cancelClosesWithoutRestarting() {
        UiFixture ui;
        Proxy proxy(ui);
        CServerDlg dialog(proxy.server);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Server"));
        QCOMPARE(button(dialog, "restart")->text(), QStringLiteral("Restart Server"));
        QCOMPARE(button(dialog, "cancel")->text(), QStringLiteral("Cancel"));
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &dialog) {
                return false;
            }
            button(dialog, "cancel")->click();
            return true;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(watch.finished());
        QVERIFY(proxy.server.status().empty());
        QCOMPARE(proxy.starts.load(), 0);
    }

    void restartsTheServerAndStaysOpen() {
        UiFixture ui;
        const int port = freeLocalPort();
        QVERIFY(port != 0);
        Pop3Settings settings = ui.store().getPOP3Settings();
        settings.localPort = port;
        ui.store().setPOP3Settings(settings);
        Proxy proxy(ui);
        QCOMPARE(proxy.server.startAll(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(proxy.starts.load(), 1, kLong);

        CServerDlg dialog(proxy.server);
        constexpr int kRounds = 2;
        int clicks = 0;
        QStringList said;
        QList<bool> openAfterwards;
        ModalWatch watch([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                said << box->text();
                box->button(QMessageBox::Ok)->click();
                return false;
            }
            if (modal != &dialog || said.size() < clicks) {
                return false;
            }
            if (openAfterwards.size() < clicks) {
                openAfterwards << dialog.isVisible();
            }
            if (clicks == kRounds) {
                button(dialog, "cancel")->click();
                return true;
            }
            // Each round restarts a proxy that has come up and listens.
            if (proxy.starts.load() == clicks + 1) {
                clickLater(button(dialog, "restart"));
                ++clicks;
            }
            return false;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(watch.finished());
        QCOMPARE(said, (QStringList{"Server Restarted!", "Server Restarted!"}));
        QCOMPARE(openAfterwards, (QList<bool>{true, true}));
        QVERIFY(!proxy.server.stateOf("main")->shutFlag);
        QVERIFY(!proxy.server.stateOf("main")->appClosing);
        QTRY_COMPARE_WITH_TIMEOUT(proxy.starts.load(), 1 + kRounds, kLong);
        QTRY_COMPARE_WITH_TIMEOUT(int(proxy.server.status().front().listeningPort), port, kLong);
    }
};

GLIMMERFEN_UI_TEST_MAIN(ServerDlgTest)
#include "tst_serverdlg.moc"
