#include <filesystem>
#include <functional>

#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "ModalWatch.h"
#include "ServedFixture.h"
#include "store/AccountBook.h"
#include "store/SettingsFile.h"
#include "ui/AccountsDialog.h"
#include "ui/POP3.h"

namespace {

constexpr int kLong = 20000;

// The accounts dialog over a fixture, shown, with its parts.
struct Dialog {
    explicit Dialog(ServedFixture& f) : dialog(f.ui.context(), f.servers) { dialog.show(); }

    QTableWidget* table() { return dialog.findChild<QTableWidget*>(QStringLiteral("accounts")); }
    QPushButton* button(const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    QStringList row(int index) {
        QStringList cells;
        for (int column = 0; column < table()->columnCount(); ++column) {
            cells << table()->item(index, column)->text();
        }
        return cells;
    }
    void select(int index) { table()->selectRow(index); }

    AccountsDialog dialog;
};

void retype(QWidget* dialog, const char* field, const QString& text) {
    auto* edit = dialog->findChild<QLineEdit*>(QString::fromLatin1(field));
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

QString fieldText(QWidget* dialog, const char* field) {
    return dialog->findChild<QLineEdit*>(QString::fromLatin1(field))->text();
}

// Clicks `button`, then lets `fill` work in the server settings that open and
// presses OK, then Cancel if OK left them open.
void throughServerSettings(QPushButton* button, const std::function<void(QDialog&)>& fill) {
    ModalWatch watch([&](QWidget* modal) {
        auto* settings = qobject_cast<CPOP3*>(modal);
        if (settings == nullptr) {
            return false;
        }
        fill(*settings);
        settings->findChild<QPushButton*>(QStringLiteral("ok"))->click();
        if (settings->isVisible()) {
            settings->findChild<QPushButton*>(QStringLiteral("cancel"))->click();
        }
        return true;
    });
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(watch.finished());
}

Account work(int localPort) {
    return Account{"work", Pop3Settings{true, "pop.work.example", 0, 0, 0, 0, 995, localPort},
                   ServerSecurity{Security::Tls, std::nullopt}};
}

}  // namespace

class AccountsTest : public QObject {
    Q_OBJECT

  private slots:
    // Through the dialog to a listener: the account is listed, in the
    // settings file, and served once the dialog has reloaded the servers.
    void anAddedAccountIsListedSavedAndServed() {
        ServedFixture f;
        QVERIFY(f.mainLocalPort() != 0);
        QCOMPARE(f.servers.startAll(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(f.servers.listeningCount(), 1, kLong);
        const int localPort = freeLocalPort();
        QVERIFY(localPort != 0 && localPort != f.mainLocalPort());

        Dialog d(f);
        QCOMPARE(d.dialog.windowTitle(), QStringLiteral("Accounts"));
        QCOMPARE(d.table()->rowCount(), 1);
        QCOMPARE(d.row(0).first(), QStringLiteral("main"));
        QTRY_COMPARE_WITH_TIMEOUT(d.table()->item(0, AccountsDialog::kListening)->text(),
                                  QStringLiteral("Listening"), kLong);
        QString suggested;
        throughServerSettings(d.button("add"), [&](QDialog& settings) {
            QCOMPARE(settings.windowTitle(), QStringLiteral("Server Settings - New Account"));
            suggested = fieldText(&settings, "localPort");
            retype(&settings, "accountName", QStringLiteral("work"));
            retype(&settings, "domainName", QStringLiteral("pop.work.example"));
            retype(&settings, "localPort", QString::number(localPort));
        });
        // The lowest local port no account has.
        QCOMPARE(suggested, QString::number(f.mainLocalPort() == 1025 ? 1026 : 1025));
        QVERIFY(f.ui.prompter().told.isEmpty());

        QCOMPARE(d.table()->rowCount(), 2);
        QCOMPARE(d.row(1).mid(0, AccountsDialog::kListening),
                 (QStringList{"work", "pop.work.example", "995", "SSL/TLS",
                              QString::number(localPort)}));
        QCOMPARE(AccountBook(f.ui.store()).find("work"), std::optional(work(localPort)));
        QTRY_COMPARE_WITH_TIMEOUT(d.table()->item(1, AccountsDialog::kListening)->text(),
                                  QStringLiteral("Listening"), kLong);
        QCOMPARE(f.servers.listeningCount(), 2);
    }

    void editingAnAccountKeepsItsPlace() {
        ServedFixture f;
        QVERIFY(!AccountBook(f.ui.store()).add(work(4001)));
        Dialog d(f);
        d.select(1);
        throughServerSettings(d.button("edit"), [&](QDialog& settings) {
            QCOMPARE(fieldText(&settings, "accountName"), QStringLiteral("work"));
            QCOMPARE(fieldText(&settings, "domainName"), QStringLiteral("pop.work.example"));
            retype(&settings, "accountName", QStringLiteral("office"));
            retype(&settings, "localPort", QStringLiteral("4002"));
        });
        QVERIFY(f.ui.prompter().told.isEmpty());
        Account expected = work(4002);
        expected.name = "office";
        QCOMPARE(AccountBook(f.ui.store()).list().back(), expected);
        QCOMPARE(d.table()->rowCount(), 2);
        QCOMPARE(d.row(1).first(), QStringLiteral("office"));
    }

    void aLocalPortOfAnotherAccountIsRefusedAndNothingSaved() {
        ServedFixture f;
        const int mainPort = f.mainLocalPort();
        Dialog d(f);
        throughServerSettings(d.button("add"), [&](QDialog& settings) {
            retype(&settings, "accountName", QStringLiteral("work"));
            retype(&settings, "domainName", QStringLiteral("pop.work.example"));
            retype(&settings, "localPort", QString::number(mainPort));
        });
        QCOMPARE(
            f.ui.prompter().told,
            QStringList{
                QStringLiteral("The local port %1 is taken by the account main").arg(mainPort)});
        QVERIFY(!std::filesystem::exists(SettingsFile::kFileName));
        QCOMPARE(d.table()->rowCount(), 1);
    }

    void removeAsksFirstAndMainCannotBeRemoved() {
        ServedFixture f;
        QVERIFY(!AccountBook(f.ui.store()).add(work(4001)));
        Dialog d(f);
        const QString question = QStringLiteral(
            "Remove the account work? Its mail client will no longer reach its server through "
            "Glimmerfen.");
        d.select(1);
        f.ui.prompter().answer({false});
        QTest::mouseClick(d.button("remove"), Qt::LeftButton);
        QCOMPARE(f.ui.prompter().asked, QStringList{question});
        QCOMPARE(AccountBook(f.ui.store()).list().size(), std::size_t{2});

        f.ui.prompter().answer({true});
        QTest::mouseClick(d.button("remove"), Qt::LeftButton);
        QCOMPARE(f.ui.prompter().asked, (QStringList{question, question}));
        QCOMPARE(AccountBook(f.ui.store()).list().size(), std::size_t{1});
        QCOMPARE(d.table()->rowCount(), 1);

        d.select(0);
        f.ui.prompter().answer({true});
        QTest::mouseClick(d.button("remove"), Qt::LeftButton);
        QCOMPARE(f.ui.prompter().asked.size(), 2);
        QCOMPARE(f.ui.prompter().told,
                 QStringList{"The account main cannot be removed: it is the store's own server"});
        QCOMPARE(d.table()->rowCount(), 1);
        QCOMPARE(d.row(0).first(), QStringLiteral("main"));
    }
};

GLIMMERFEN_UI_TEST_MAIN(AccountsTest)
#include "tst_accounts.moc"
