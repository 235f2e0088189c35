#include "ui/FirstStartAssistant.h"

#include <array>
#include <string>

#include <QClipboard>
#include <QComboBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "diag/Error.h"
#include "platform/HostLookup.h"
#include "proxy/AccountServers.h"
#include "proxy/ProcessObjects.h"
#include "store/AccountBook.h"
#include "store/Database.h"
#include "ui/ProbeText.h"
#include "ui/Prompter.h"
#include "ui/ViewContext.h"

namespace {

// The store keeps this many characters of the server's domain name.
constexpr int kMaxServerNameLength = 79;
constexpr std::array kSecurityModes{Security::Plain, Security::StartTls, Security::Tls};
const QString kFinish = QStringLiteral("Finish");

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

QLabel* wrappedLabel(const QString& words, QWidget* parent) {
    auto* label = new QLabel(words, parent);
    label->setWordWrap(true);
    return label;
}

// What the stored main account says about the server, unless it is still the
// placeholder that a new store starts with: then nothing, so the person types
// their own.
QString storedServer(const Pop3Settings& pop3) {
    if (pop3.useDomainName && pop3.serverName == CDatabase::kPlaceholderServerName) {
        return {};
    }
    return probetext::host(pop3);
}

}  // namespace

FirstStartAssistant::FirstStartAssistant(ViewContext& context, AccountServers& servers,
                                         QWidget* parent)
    : QWizard(parent),
      m_context(context),
      m_servers(servers),
      m_main{Account::kMainName, context.objects.store.getPOP3Settings(), {}},
      m_probeRunner(new ProbeRunner(this)) {
    AccountBook book(context.objects.store);
    if (const std::optional<Account> stored = book.find(Account::kMainName)) {
        m_main = *stored;
    }
    if (book.settingsProblem()) {
        tellWarning(text(*book.settingsProblem()));
    }
    setWindowTitle(QStringLiteral("Glimmerfen Setup"));
    setOption(QWizard::NoBackButtonOnStartPage);
    setPage(kServerPage, serverPage());
    setPage(kTestPage, testPage());
    setPage(kClientPage, clientPage());
    connect(m_probeRunner, &ProbeRunner::finished, this, &FirstStartAssistant::onServerProbed);
    resize(600, 460);
}

QWizardPage* FirstStartAssistant::serverPage() {
    auto* page = new QWizardPage(this);
    page->setTitle(QStringLiteral("Where is your mail?"));
    m_serverName = new QLineEdit(storedServer(m_main.pop3), page);
    m_serverName->setObjectName(QStringLiteral("serverName"));
    m_serverName->setMaxLength(kMaxServerNameLength);
    m_serverName->setPlaceholderText(QStringLiteral("pop.example.com"));
    m_serverPort = new QLineEdit(page);
    m_serverPort->setObjectName(QStringLiteral("serverPort"));
    m_serverPort->setValidator(new QIntValidator(1, kHighestPort, m_serverPort));
    m_security = new QComboBox(page);
    m_security->setObjectName(QStringLiteral("security"));
    for (const Security mode : kSecurityModes) {
        const std::string_view label = securityLabel(mode);
        m_security->addItem(QString::fromLatin1(label.data(), qsizetype(label.size())),
                            static_cast<int>(mode));
    }
    // Most providers want SSL/TLS on 995; a store that already has a secured
    // server keeps what it has.
    const Security suggested =
        m_main.security.mode == Security::Plain ? Security::Tls : m_main.security.mode;
    m_security->setCurrentIndex(m_security->findData(static_cast<int>(suggested)));
    m_serverPort->setText(QString::number(portForSecurity(suggested, m_main.pop3.pop3Port)));
    connect(m_security, &QComboBox::currentIndexChanged, this,
            &FirstStartAssistant::onSecurityChosen);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Incoming mail (POP3) server:"), m_serverName);
    form->addRow(QStringLiteral("Port:"), m_serverPort);
    form->addRow(QStringLiteral("Connection security:"), m_security);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(wrappedLabel(
        QStringLiteral("Glimmerfen fetches your mail from your provider's POP3 server on behalf "
                       "of your mail client, and sorts out the spam on the way. Enter the incoming "
                       "server as your mail client's account settings show it: a name or an IP "
                       "number."),
        page));
    layout->addLayout(form);
    layout->addWidget(wrappedLabel(
        QStringLiteral("Most providers use SSL/TLS on port 995; some use STARTTLS on port 110. "
                       "Choose None only for a server that offers no encryption."),
        page));
    layout->addStretch();
    return page;
}

QWizardPage* FirstStartAssistant::testPage() {
    auto* page = new QWizardPage(this);
    page->setTitle(QStringLiteral("Testing the connection"));
    m_report = new QPlainTextEdit(page);
    m_report->setObjectName(QStringLiteral("testReport"));
    m_report->setReadOnly(true);
    m_testAgain = new QPushButton(QStringLiteral("Test Again"), page);
    m_testAgain->setObjectName(QStringLiteral("testAgain"));
    m_trust = new QPushButton(QStringLiteral("Trust This Certificate"), page);
    m_trust->setObjectName(QStringLiteral("trustCertificate"));
    m_trust->setEnabled(false);
    connect(m_testAgain, &QPushButton::clicked, this, &FirstStartAssistant::testServer);
    connect(m_trust, &QPushButton::clicked, this, &FirstStartAssistant::trustCertificate);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_testAgain);
    buttons->addWidget(m_trust);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(wrappedLabel(
        QStringLiteral("Glimmerfen reaches the server as it will for your mail client, without "
                       "your user name or password, and shows what it finds."),
        page));
    layout->addWidget(m_report);
    layout->addLayout(buttons);
    layout->addWidget(wrappedLabel(
        QStringLiteral("You can go on whatever the test says, and correct the server later "
                       "under Server > POP3 Settings."),
        page));
    return page;
}

QWizardPage* FirstStartAssistant::clientPage() {
    auto* page = new QWizardPage(this);
    page->setTitle(QStringLiteral("Your mail client"));
    m_clientSettings = new QLabel(page);
    m_clientSettings->setObjectName(QStringLiteral("clientSettings"));
    m_clientSettings->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_clientSettings->setFrameShape(QFrame::StyledPanel);
    m_clientSettings->setMargin(8);
    m_copy = new QPushButton(QStringLiteral("Copy"), page);
    m_copy->setObjectName(QStringLiteral("copy"));
    m_copied = new QLabel(page);
    connect(m_copy, &QPushButton::clicked, this, &FirstStartAssistant::copyClientSettings);

    auto* copyRow = new QHBoxLayout;
    copyRow->addWidget(m_copy);
    copyRow->addWidget(m_copied);
    copyRow->addStretch();
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(wrappedLabel(
        QStringLiteral("In your mail client, change only the incoming (POP3) server of the "
                       "account to this:"),
        page));
    layout->addWidget(m_clientSettings);
    layout->addLayout(copyRow);
    layout->addWidget(wrappedLabel(
        QStringLiteral("The mail client's connection never leaves this computer. Sending mail "
                       "(SMTP) stays as it is. Press Finish to save the server."),
        page));
    layout->addStretch();
    return page;
}

void FirstStartAssistant::onSecurityChosen() {
    const auto mode = static_cast<Security>(m_security->currentData().toInt());
    m_serverPort->setText(QString::number(portForSecurity(mode, m_serverPort->text().toInt())));
}

Account FirstStartAssistant::editedMain() const {
    Account account = m_main;
    const std::string server = m_serverName->text().trimmed().toLatin1().toStdString();
    if (const std::optional<platform::Ipv4Address> ip = platform::dottedToAddress(server)) {
        account.pop3.useDomainName = false;
        account.pop3.ip1 = (*ip)[0];
        account.pop3.ip2 = (*ip)[1];
        account.pop3.ip3 = (*ip)[2];
        account.pop3.ip4 = (*ip)[3];
    } else {
        account.pop3.useDomainName = true;
        account.pop3.serverName = server;
    }
    account.pop3.pop3Port = m_serverPort->text().toInt();
    account.security.mode = static_cast<Security>(m_security->currentData().toInt());
    // A pin holds for the server and mode it was taken for, and no other.
    const std::pair tested{account.pop3, account.security.mode};
    if (m_pin && m_pinnedFor == tested) {
        account.security.pin = m_pin;
    } else if (tested != std::pair{m_main.pop3, m_main.security.mode}) {
        account.security.pin.reset();
    }
    return account;
}

QString FirstStartAssistant::clientSettings() const {
    return QStringLiteral(
               "Incoming mail server (POP3): 127.0.0.1\n"
               "Port: %1\n"
               "Connection security: None\n"
               "Authentication: normal password\n"
               "User name and password: unchanged, as your provider gave them")
        .arg(m_main.pop3.localPort);
}

// The server page is checked by the same rules that saving applies, so a
// mistake is shown where it can be corrected.
bool FirstStartAssistant::validateCurrentPage() {
    if (currentId() == kServerPage) {
        try {
            const std::optional<std::string> broken =
                AccountBook(m_context.objects.store).problem(editedMain(), Account::kMainName);
            if (broken) {
                tellWarning(text(*broken));
                return false;
            }
        } catch (const CError& error) {
            tellWarning(text(error.m_message));
            return false;
        }
    }
    return QWizard::validateCurrentPage();
}

void FirstStartAssistant::initializePage(int id) {
    QWizard::initializePage(id);
    if (id == kTestPage) {
        testServer();
    } else if (id == kClientPage) {
        m_clientSettings->setText(clientSettings());
        m_copied->clear();
    }
}

// Tests what the server page says now; a test still running for what it said
// before is stopped, and this one starts when that one has reported.
void FirstStartAssistant::testServer() {
    const Account edited = editedMain();
    m_probed = std::make_pair(edited.pop3, edited.security.mode);
    m_probedCertificate.reset();
    m_trust->setEnabled(false);
    m_testAgain->setEnabled(false);
    m_report->setPlainText(probetext::connecting(edited.pop3));
    if (m_probeRunner->isRunning()) {
        m_testWanted = true;
        m_probeRunner->stop();
        return;
    }
    m_probeRunner->start(edited.pop3, edited.security);
}

void FirstStartAssistant::onServerProbed(const ProbeReport& report) {
    if (m_testWanted) {
        m_testWanted = false;
        testServer();
        return;
    }
    m_testAgain->setEnabled(true);
    m_probedCertificate = report.certificate;
    m_report->setPlainText(probetext::describe(report));
    m_trust->setEnabled(report.certificate && !report.certificate->verified);
}

void FirstStartAssistant::trustCertificate() {
    if (!m_probedCertificate || !m_probed) {
        return;
    }
    if (!m_context.prompter.askYesNo(
            probetext::trustQuestion(m_probed->first, *m_probedCertificate, kFinish),
            Prompter::kTitle, Prompter::Icon::Warning)) {
        return;
    }
    m_pin = m_probedCertificate->digest;
    m_pinnedFor = m_probed;
    m_trust->setEnabled(false);
    m_report->appendPlainText(probetext::trustedNote(kFinish));
}

void FirstStartAssistant::copyClientSettings() {
    QGuiApplication::clipboard()->setText(clientSettings());
    m_copied->setText(QStringLiteral("Copied."));
}

void FirstStartAssistant::accept() {
    std::optional<std::string> refused;
    try {
        refused = AccountBook(m_context.objects.store).update(Account::kMainName, editedMain());
    } catch (const CError& error) {
        refused = "The settings could not be saved, so nothing was saved:\n" + error.m_message;
    }
    if (refused) {
        tellWarning(text(*refused));
        return;
    }
    m_servers.reload();
    QWizard::accept();
}

void FirstStartAssistant::done(int result) {
    m_probeRunner->stop();
    QWizard::done(result);
}

void FirstStartAssistant::tellWarning(const QString& words) {
    m_context.prompter.tell(words, Prompter::kTitle, Prompter::Icon::Warning);
}
