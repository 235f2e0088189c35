#include "ui/POP3.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/SystemConfig.h"
#include "proxy/ProcessObjects.h"
#include "proxy/SpamFlagWord.h"
#include "rating/NameServerDiscovery.h"
#include "store/AccountBook.h"
#include "store/SettingsFile.h"
#include "ui/ProbeText.h"
#include "ui/Prompter.h"
#include "ui/ViewContext.h"

namespace {

// The store keeps this many characters of the server's domain name.
constexpr int kMaxServerNameLength = 79;
// The settings file's section for the store's own POP3 server.
const std::string kAccount = Account::kMainName;
// In the order the choice offers them.
constexpr std::array kSecurityModes{Security::Plain, Security::StartTls, Security::Tls};
// Beyond any port; a longer run of digits is out of range however long it is.
constexpr long long kNumberCeiling = 1'000'000;

// The leading decimal number of `text` as "%d" reads it: blanks, an optional
// sign, digits. nullopt when no digit follows.
std::optional<long long> leadingNumber(QStringView text) {
    qsizetype at = 0;
    while (at < text.size() && text[at].isSpace()) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == u'-' || text[at] == u'+')) {
        negative = text[at] == u'-';
        ++at;
    }
    const qsizetype digitsStart = at;
    long long value = 0;
    for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
        value = std::min(kNumberCeiling, value * 10 + (text[at].unicode() - u'0'));
    }
    if (at == digitsStart) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

long long portNumber(const QString& text) {
    return leadingNumber(text).value_or(0);
}

// A name-server entry split at its first three points, the rest of the text
// read for the fourth number. An entry that does not give four numbers from 0
// to 255 (an IPv6 address, a host name) gives nothing rather than a wrong
// address.
std::optional<IpAddressEdit::Address> splitNameServer(const QString& entry) {
    IpAddressEdit::Address address{};
    qsizetype start = 0;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const qsizetype end = i + 1 < address.size() ? entry.indexOf(u'.', start) : entry.size();
        if (end < 0) {
            return std::nullopt;
        }
        const auto number = leadingNumber(QStringView(entry).mid(start, end - start));
        if (!number || *number < 0 || *number > 255) {
            return std::nullopt;
        }
        address[i] = static_cast<std::uint8_t>(*number);
        start = end + 1;
    }
    return address;
}

// The bytes of the flag word to save, or nothing when the word must stay as it
// was. Latin-1 keeps one byte per character, as the proxy puts the word into
// the Subject line byte for byte; a character it cannot hold would turn into a
// '?' that the user never typed.
std::optional<std::string> flagWordToSave(const QString& edited) {
    const QString word = edited.left(CPOP3::kFlagWordReadLength);
    if (word.size() < static_cast<qsizetype>(proxy::kMinSpamFlagWord) ||
        word.size() > static_cast<qsizetype>(proxy::kMaxSpamFlagWord)) {
        return std::nullopt;
    }
    const QByteArray bytes = word.toLatin1();
    if (QString::fromLatin1(bytes) != word) {
        return std::nullopt;
    }
    return bytes.toStdString();
}

QGroupBox* groupOf(const QString& title, QWidget* field, QWidget* parent) {
    auto* group = new QGroupBox(title, parent);
    auto* layout = new QHBoxLayout(group);
    layout->addWidget(field);
    return group;
}

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

}  // namespace

CPOP3::CPOP3(ViewContext& context, QWidget* parent)
    : CPOP3(context, platform::ResolvConfReader(), parent) {}

CPOP3::CPOP3(ViewContext& context, const platform::SystemConfigReader& nameServers, QWidget* parent)
    : CPOP3(context, true, {}, parent) {
    setWindowTitle(QStringLiteral("Server Settings"));
    fill(nameServers);
    loadSecurity();
}

CPOP3::CPOP3(ViewContext& context, const Account& account, const std::string& replacing,
             QWidget* parent)
    : CPOP3(context, false, replacing, parent) {
    setWindowTitle(replacing.empty()
                       ? QStringLiteral("Server Settings - New Account")
                       : QStringLiteral("Server Settings - ") + QString::fromStdString(replacing));
    fillAccount(account);
}

CPOP3::CPOP3(ViewContext& context, bool main, std::string replacing, QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_main(main),
      m_replacing(std::move(replacing)),
      m_probeRunner(new ProbeRunner(this)),
      m_accountName(main ? nullptr : new QLineEdit(this)),
      m_byDomainName(new QRadioButton(QStringLiteral("as domain name"), this)),
      m_byIpNumber(new QRadioButton(QStringLiteral("as IP number"), this)),
      m_domainName(new QLineEdit(this)),
      m_serverIp(new IpAddressEdit(this)),
      m_pop3Port(new QLineEdit(this)),
      m_securityChoice(new QComboBox(this)),
      m_localPort(new QLineEdit(this)),
      m_flagWord(new QLineEdit(this)),
      m_nameServerIp(new IpAddressEdit(this)),
      m_nameServers(new QComboBox(this)),
      m_testIp(new QPushButton(QStringLiteral("Test IP"), this)),
      m_testConnection(new QPushButton(QStringLiteral("Test Connection"), this)),
      m_trust(new QPushButton(QStringLiteral("Trust This Certificate"), this)),
      m_connectionReport(new QPlainTextEdit(this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)) {
    build();
    connect(m_byDomainName, &QRadioButton::toggled, this, &CPOP3::useDomainName);
    connect(m_securityChoice, &QComboBox::currentIndexChanged, this, &CPOP3::onSecurityChosen);
    connect(m_testConnection, &QPushButton::clicked, this, &CPOP3::testConnection);
    connect(m_probeRunner, &ProbeRunner::finished, this, &CPOP3::onServerProbed);
    connect(m_trust, &QPushButton::clicked, this, &CPOP3::trustCertificate);
    connect(m_nameServers, &QComboBox::activated, this, &CPOP3::onNameServerChosen);
    connect(m_testIp, &QPushButton::clicked, this, &CPOP3::testNameServer);
    connect(m_ok, &QPushButton::clicked, this, &CPOP3::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CPOP3::reject);
}

CPOP3::~CPOP3() {
    unlink(m_testLink);
    if (m_testing) {
        QApplication::restoreOverrideCursor();
    }
}

void CPOP3::unlink(const std::shared_ptr<TestLink>& link) {
    if (link) {
        link->stop = true;
        std::lock_guard lock(link->mutex);
        link->dialog = nullptr;
    }
}

void CPOP3::build() {
    m_byDomainName->setObjectName(QStringLiteral("byDomainName"));
    m_byIpNumber->setObjectName(QStringLiteral("byIpNumber"));
    m_domainName->setObjectName(QStringLiteral("domainName"));
    m_domainName->setMaxLength(kMaxServerNameLength);
    m_serverIp->setObjectName(QStringLiteral("serverIp"));
    m_pop3Port->setObjectName(QStringLiteral("pop3Port"));
    m_securityChoice->setObjectName(QStringLiteral("security"));
    for (const Security mode : kSecurityModes) {
        const std::string_view label = securityLabel(mode);
        m_securityChoice->addItem(QString::fromLatin1(label.data(), qsizetype(label.size())),
                                  static_cast<int>(mode));
    }
    m_localPort->setObjectName(QStringLiteral("localPort"));
    m_flagWord->setObjectName(QStringLiteral("spamFlagWord"));
    m_nameServerIp->setObjectName(QStringLiteral("nameServerIp"));
    m_nameServers->setObjectName(QStringLiteral("nameServers"));
    m_testIp->setObjectName(QStringLiteral("testIp"));
    m_ok->setObjectName(QStringLiteral("ok"));
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_testConnection->setObjectName(QStringLiteral("testConnection"));
    m_trust->setObjectName(QStringLiteral("trustCertificate"));
    m_connectionReport->setObjectName(QStringLiteral("connectionReport"));
    m_ok->setDefault(true);
    m_testIp->setAutoDefault(false);
    m_testConnection->setAutoDefault(false);
    m_trust->setAutoDefault(false);
    m_trust->setEnabled(false);
    m_connectionReport->setReadOnly(true);
    m_connectionReport->setPlaceholderText(
        QStringLiteral("Test Connection reaches the server as the proxy would and shows what it "
                       "finds, without sending your user name or password."));
    // Wide enough for a fingerprint on two lines, high enough for the whole report.
    const QFontMetrics metrics = m_connectionReport->fontMetrics();
    m_connectionReport->setMinimumWidth(metrics.horizontalAdvance(QString(56, u'0')));
    m_connectionReport->setFixedHeight(metrics.lineSpacing() * 12);

    auto* server = new QGroupBox(QStringLiteral("Enter Email (POP3) Server Address"), this);
    auto* serverLayout = new QGridLayout(server);
    serverLayout->addWidget(m_byDomainName, 0, 0);
    serverLayout->addWidget(m_domainName, 0, 1);
    serverLayout->addWidget(m_byIpNumber, 1, 0);
    serverLayout->addWidget(m_serverIp, 1, 1);

    auto* nameServer = new QGroupBox(QStringLiteral("Enter or Select Name Server IP"), this);
    auto* nameServerLayout = new QGridLayout(nameServer);
    nameServerLayout->addWidget(m_nameServerIp, 0, 0);
    nameServerLayout->addWidget(m_nameServers, 0, 1);
    nameServerLayout->addWidget(m_testIp, 1, 0, Qt::AlignLeft);

    auto* port = new QGroupBox(QStringLiteral("Enter POP3 Port Number (usually 110)"), this);
    auto* portLayout = new QHBoxLayout(port);
    portLayout->addWidget(m_pop3Port);
    auto* securityLabelText = new QLabel(QStringLiteral("Connection security:"), port);
    securityLabelText->setBuddy(m_securityChoice);
    portLayout->addWidget(securityLabelText);
    portLayout->addWidget(m_securityChoice);

    auto* test = new QGroupBox(QStringLiteral("Test Connection to the POP3 Server"), this);
    auto* testButtons = new QHBoxLayout;
    testButtons->addWidget(m_testConnection);
    testButtons->addWidget(m_trust);
    testButtons->addStretch();
    auto* testLayout = new QVBoxLayout(test);
    testLayout->addLayout(testButtons);
    testLayout->addWidget(m_connectionReport);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);

    auto* layout = new QVBoxLayout(this);
    if (m_accountName != nullptr) {
        m_accountName->setObjectName(QStringLiteral("accountName"));
        m_accountName->setMaxLength(static_cast<int>(Account::kLongestName));
        layout->addWidget(
            groupOf(QStringLiteral("Account Name (1 to 32 characters)"), m_accountName, this));
    }
    layout->addWidget(server);
    layout->addWidget(port);
    layout->addWidget(test);
    layout->addWidget(
        groupOf(QStringLiteral("Enter Local Server Port Number (1025-5000)"), m_localPort, this));
    QGroupBox* flagWord =
        groupOf(QStringLiteral("Spam Flag Word (2 to 20 chars)"), m_flagWord, this);
    layout->addWidget(flagWord);
    layout->addWidget(nameServer);
    layout->addLayout(buttons);
    // The whole installation's, not an account's: they stay with main.
    if (!m_main) {
        flagWord->hide();
        nameServer->hide();
    }
}

void CPOP3::fill(const platform::SystemConfigReader& nameServers) {
    CDatabase& store = m_context.objects.store;
    m_settings = store.getPOP3Settings();
    IpAddressEdit::Address nameServer{};
    if (!store.getNameServerIP(nameServer)) {
        throw CError("Can't Open Database File", "CPOP3::CPOP3", GF_HERE);
    }

    m_domainName->setText(QString::fromLatin1(m_settings.serverName));
    m_serverIp->setAddress({m_settings.ip1, m_settings.ip2, m_settings.ip3, m_settings.ip4});
    m_pop3Port->setText(QString::number(m_settings.pop3Port));
    m_localPort->setText(QString::number(m_settings.localPort));
    m_flagWord->setText(QString::fromLatin1(proxy::readSpamFlagWord()));
    m_nameServerIp->setAddress(nameServer);
    (m_settings.useDomainName ? m_byDomainName : m_byIpNumber)->setChecked(true);
    useDomainName(m_settings.useDomainName);

    NameServerDiscovery discovery(nameServers);
    discovery.discover();
    for (const std::string& server : discovery.servers()) {
        m_nameServers->addItem(QString::fromLatin1(server));
    }
    // Nothing chosen yet: the entry shown must not pass for the configured server.
    m_nameServers->setCurrentIndex(-1);
}

void CPOP3::fillAccount(const Account& account) {
    m_settings = account.pop3;
    m_accountName->setText(QString::fromStdString(account.name));
    m_domainName->setText(QString::fromLatin1(m_settings.serverName));
    m_serverIp->setAddress({m_settings.ip1, m_settings.ip2, m_settings.ip3, m_settings.ip4});
    m_pop3Port->setText(QString::number(m_settings.pop3Port));
    m_localPort->setText(QString::number(m_settings.localPort));
    (m_settings.useDomainName ? m_byDomainName : m_byIpNumber)->setChecked(true);
    useDomainName(m_settings.useDomainName);
    m_savedSecurity = account.security;
    m_pin = account.security.pin;
    showSecurity(account.security.mode);
}

// Without moving the port: the stored port goes with the stored mode.
void CPOP3::showSecurity(Security mode) {
    const QSignalBlocker quiet(m_securityChoice);
    const auto shown = std::find(kSecurityModes.begin(), kSecurityModes.end(), mode);
    m_securityChoice->setCurrentIndex(static_cast<int>(shown - kSecurityModes.begin()));
}

void CPOP3::useDomainName(bool byName) {
    m_useDomainName = byName;
    m_domainName->setEnabled(byName);
    m_serverIp->setEnabled(!byName);
}

void CPOP3::onNameServerChosen(int index) {
    if (const auto address = splitNameServer(m_nameServers->itemText(index))) {
        m_nameServerIp->setAddress(*address);
    }
}

// The test waits up to five seconds for a reply, so it runs off the GUI
// thread; the button stays disabled until the answer is in, so clicks made
// meanwhile cannot queue a second test. The thread owns everything it uses
// and is not waited for: closing the dialog never blocks on it.
void CPOP3::testNameServer() {
    if (m_testing) {
        return;
    }
    m_testing = true;
    m_testIp->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_testLink = std::make_shared<TestLink>();
    m_testLink->dialog = this;
    try {
        std::thread([link = m_testLink, tester = m_context.objects.resolver.forServerTest(),
                     address = m_nameServerIp->text().toStdString()] {
            const bool passed = tester->testNameServer(address);
            std::lock_guard lock(link->mutex);
            if (CPOP3* dialog = link->dialog) {
                // Posted while the dialog lives; if it goes before the call is
                // delivered, the call is dropped with it.
                QMetaObject::invokeMethod(
                    dialog, [dialog, passed] { dialog->onNameServerTested(passed); },
                    Qt::QueuedConnection);
            }
        }).detach();
    } catch (const std::system_error&) {
        onNameServerTested(false);  // no thread, no test: the server is not known to work
    }
}

void CPOP3::onNameServerTested(bool passed) {
    m_testing = false;
    m_testIp->setEnabled(true);
    QApplication::restoreOverrideCursor();
    if (isVisible()) {
        m_context.prompter.tell(passed ? QStringLiteral("Passed: DNS IP works")
                                       : QStringLiteral("Failed: DNS IP failed."));
    }
}

// A port that does not fit is refused here, where the user can still correct
// it: the store keeps 16 bits of a port, and a local port outside its range
// would leave the proxy listening where no mail client is told to look.
void CPOP3::accept() {
    if (!pop3PortUsable()) {
        return;
    }
    const long long localPort = portNumber(m_localPort->text());
    if (localPort < kLowestLocalPort || localPort > kHighestLocalPort) {
        refuse(QStringLiteral("The local server port must be a number from 1025 to 5000."),
               m_localPort);
        return;
    }
    // Saved before the dialog closes, so that a file that cannot be written
    // leaves the user in the dialog with every choice still there.
    if (!(m_main ? fitsAmongAccounts() && saveSecurity() : saveAccount())) {
        return;
    }
    QDialog::accept();
}

// Main's local port must stay clear of the other accounts'. A settings file
// that cannot be read hides them; saving the security meets the same file
// and says so.
bool CPOP3::fitsAmongAccounts() {
    std::optional<std::string> broken;
    try {
        broken = AccountBook(m_context.objects.store).problem(editedAccount(), kAccount);
    } catch (const CError&) {
        return true;
    }
    if (broken) {
        refuse(text(*broken), m_localPort);
        return false;
    }
    return true;
}

bool CPOP3::saveAccount() {
    AccountBook book(m_context.objects.store);
    std::optional<std::string> refused;
    try {
        refused = m_replacing.empty() ? book.add(editedAccount())
                                      : book.update(m_replacing, editedAccount());
    } catch (const CError& error) {
        refused = "The account could not be saved, so nothing was saved:\n" + error.m_message;
    }
    if (refused) {
        refuse(text(*refused), m_accountName);
        return false;
    }
    return true;
}

Account CPOP3::editedAccount() const {
    const std::string name =
        m_accountName != nullptr ? m_accountName->text().toStdString() : kAccount;
    return Account{name, editedServer(), security()};
}

bool CPOP3::pop3PortUsable() {
    const long long pop3Port = portNumber(m_pop3Port->text());
    if (pop3Port < 1 || pop3Port > kHighestPort) {
        refuse(QStringLiteral("The POP3 port must be a number from 1 to 65535."), m_pop3Port);
        return false;
    }
    return true;
}

void CPOP3::done(int result) {
    m_probeRunner->stop();
    QDialog::done(result);
}

void CPOP3::refuse(const QString& text, QWidget* field) {
    m_context.prompter.tell(text, Prompter::kTitle, Prompter::Icon::Warning);
    field->setFocus();
}

Pop3Settings CPOP3::editedServer() const {
    Pop3Settings settings = m_settings;
    settings.useDomainName = m_useDomainName;
    if (m_useDomainName) {
        settings.serverName = m_domainName->text().trimmed().toLatin1().toStdString();
    } else {
        const IpAddressEdit::Address ip = m_serverIp->address();
        settings.ip1 = ip[0];
        settings.ip2 = ip[1];
        settings.ip3 = ip[2];
        settings.ip4 = ip[3];
    }
    settings.pop3Port = static_cast<int>(portNumber(m_pop3Port->text()));
    settings.localPort = static_cast<int>(portNumber(m_localPort->text()));
    return settings;
}

void CPOP3::save() {
    if (!m_main) {
        return;
    }
    const auto flagWord = flagWordToSave(m_flagWord->text());
    const bool flagWordSaved = !flagWord || proxy::writeSpamFlagWord(*flagWord);

    CDatabase& store = m_context.objects.store;
    store.setPOP3Settings(editedServer());
    if (!store.setNameServerIP(m_nameServerIp->address())) {
        throw CError("Can't Open Database File", "CPOP3::save", GF_HERE);
    }
    m_context.objects.resolver.clearServerKnown();
    // Reported last, so that a word that could not be written costs the user
    // nothing else they set.
    if (!flagWordSaved) {
        throw CError("Can't Write sFlag.bin", "CPOP3::save", GF_HERE);
    }
}

// A damaged file has already been set aside by the time it is reported, so
// the user loses nothing by carrying on with the defaults.
void CPOP3::loadSecurity() {
    const SettingsFile::Loaded loaded = SettingsFile::load();
    m_savedSecurity = loaded.settings.security(kAccount);
    m_pin = m_savedSecurity.pin;
    showSecurity(m_savedSecurity.mode);
    if (loaded.problem) {
        m_context.prompter.tell(
            text(*loaded.problem) + QStringLiteral("\n\nThe connection security shows its default "
                                                   "until you save it again."),
            Prompter::kTitle, Prompter::Icon::Warning);
    }
}

// The file is read again just before it is written, so that what another
// program wrote into it meanwhile (another account) is kept.
bool CPOP3::saveSecurity() {
    const ServerSecurity chosen = security();
    if (chosen == m_savedSecurity) {
        return true;
    }
    try {
        SettingsFile::Loaded current = SettingsFile::load();
        if (current.problem) {
            m_context.prompter.tell(text(*current.problem), Prompter::kTitle,
                                    Prompter::Icon::Warning);
        }
        current.settings.at(kAccount).security = chosen;
        SettingsFile::save(current.settings);
    } catch (const CError& error) {
        refuse(QStringLiteral("The connection security could not be saved, so nothing was "
                              "saved:\n") +
                   text(error.m_message),
               m_securityChoice);
        return false;
    }
    m_savedSecurity = chosen;
    return true;
}

ServerSecurity CPOP3::security() const {
    return ServerSecurity{chosenMode(), m_pin};
}

Security CPOP3::chosenMode() const {
    return static_cast<Security>(m_securityChoice->currentData().toInt());
}

// The usual port follows the mode, so that choosing SSL/TLS on a server left
// at 110 does not try TLS on the plain port; a port the user set is theirs.
void CPOP3::onSecurityChosen(int index) {
    if (index < 0) {
        return;
    }
    const long long port = portNumber(m_pop3Port->text());
    const int wanted = portForSecurity(chosenMode(), static_cast<int>(port));
    if (wanted != port) {
        m_pop3Port->setText(QString::number(wanted));
    }
}

// Up to kProbeTimeout off the GUI thread, as the name-server test runs: the
// dialog stays live, and closing it stops the test instead of waiting. It
// tests what the dialog shows now, not what was saved.
void CPOP3::testConnection() {
    if (isTestingConnection() || !pop3PortUsable()) {
        return;
    }
    const Pop3Settings server = editedServer();
    const ServerSecurity chosen = security();
    m_probed = std::make_pair(server, chosen.mode);
    m_probedCertificate.reset();
    m_testConnection->setEnabled(false);
    m_trust->setEnabled(false);
    m_connectionReport->setPlainText(probetext::connecting(server));
    m_probeRunner->start(server, chosen);
}

void CPOP3::onServerProbed(const ProbeReport& report) {
    m_testConnection->setEnabled(true);
    m_probedCertificate = report.certificate;
    m_connectionReport->setPlainText(probetext::describe(report));
    m_trust->setEnabled(report.certificate && !report.certificate->verified);
}

// Only the certificate just shown, and only while the dialog still names the
// server it came from: a pin taken for one server must not end up on another.
void CPOP3::trustCertificate() {
    if (!m_probedCertificate || !m_probed) {
        return;
    }
    if (m_probed->first != editedServer() || m_probed->second != chosenMode()) {
        m_context.prompter.tell(
            QStringLiteral("The server settings have changed since the test. Test the "
                           "connection again, then trust the certificate it shows."),
            Prompter::kTitle, Prompter::Icon::Warning);
        return;
    }
    const QString question =
        probetext::trustQuestion(m_probed->first, *m_probedCertificate, QStringLiteral("OK"));
    if (!m_context.prompter.askYesNo(question, Prompter::kTitle, Prompter::Icon::Warning)) {
        return;
    }
    m_pin = m_probedCertificate->digest;
    m_trust->setEnabled(false);
    m_connectionReport->appendPlainText(probetext::trustedNote(QStringLiteral("OK")));
}
