#include "ui/POP3.h"

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/SystemConfig.h"
#include "proxy/ProcessObjects.h"
#include "proxy/SpamFlagWord.h"
#include "rating/NameServerDiscovery.h"
#include "ui/Prompter.h"
#include "ui/ViewContext.h"

namespace {

// The store keeps this many characters of the server's domain name.
constexpr int kMaxServerNameLength = 79;
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

}  // namespace

CPOP3::CPOP3(ViewContext& context, QWidget* parent)
    : CPOP3(context, platform::ResolvConfReader(), parent) {}

CPOP3::CPOP3(ViewContext& context, const platform::SystemConfigReader& nameServers, QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_byDomainName(new QRadioButton(QStringLiteral("as domain name"), this)),
      m_byIpNumber(new QRadioButton(QStringLiteral("as IP number"), this)),
      m_domainName(new QLineEdit(this)),
      m_serverIp(new IpAddressEdit(this)),
      m_pop3Port(new QLineEdit(this)),
      m_localPort(new QLineEdit(this)),
      m_flagWord(new QLineEdit(this)),
      m_nameServerIp(new IpAddressEdit(this)),
      m_nameServers(new QComboBox(this)),
      m_testIp(new QPushButton(QStringLiteral("Test IP"), this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(QStringLiteral("Server Settings"));
    build();
    fill(nameServers);

    connect(m_byDomainName, &QRadioButton::toggled, this, &CPOP3::useDomainName);
    connect(m_nameServers, &QComboBox::activated, this, &CPOP3::onNameServerChosen);
    connect(m_testIp, &QPushButton::clicked, this, &CPOP3::testNameServer);
    connect(m_ok, &QPushButton::clicked, this, &CPOP3::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CPOP3::reject);
}

CPOP3::~CPOP3() {
    if (m_testLink) {
        std::lock_guard lock(m_testLink->mutex);
        m_testLink->dialog = nullptr;
    }
    if (m_testing) {
        QApplication::restoreOverrideCursor();
    }
}

void CPOP3::build() {
    m_byDomainName->setObjectName(QStringLiteral("byDomainName"));
    m_byIpNumber->setObjectName(QStringLiteral("byIpNumber"));
    m_domainName->setObjectName(QStringLiteral("domainName"));
    m_domainName->setMaxLength(kMaxServerNameLength);
    m_serverIp->setObjectName(QStringLiteral("serverIp"));
    m_pop3Port->setObjectName(QStringLiteral("pop3Port"));
    m_localPort->setObjectName(QStringLiteral("localPort"));
    m_flagWord->setObjectName(QStringLiteral("spamFlagWord"));
    m_nameServerIp->setObjectName(QStringLiteral("nameServerIp"));
    m_nameServers->setObjectName(QStringLiteral("nameServers"));
    m_testIp->setObjectName(QStringLiteral("testIp"));
    m_ok->setObjectName(QStringLiteral("ok"));
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_ok->setDefault(true);
    m_testIp->setAutoDefault(false);

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

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addWidget(
        groupOf(QStringLiteral("Enter POP3 Port Number (usually 110)"), m_pop3Port, this));
    layout->addWidget(
        groupOf(QStringLiteral("Enter Local Server Port Number (1025-5000)"), m_localPort, this));
    layout->addWidget(groupOf(QStringLiteral("Spam Flag Word (2 to 20 chars)"), m_flagWord, this));
    layout->addWidget(nameServer);
    layout->addLayout(buttons);
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
    const long long pop3Port = portNumber(m_pop3Port->text());
    if (pop3Port < 1 || pop3Port > kHighestPort) {
        refuse(QStringLiteral("The POP3 port must be a number from 1 to 65535."), m_pop3Port);
        return;
    }
    const long long localPort = portNumber(m_localPort->text());
    if (localPort < kLowestLocalPort || localPort > kHighestLocalPort) {
        refuse(QStringLiteral("The local server port must be a number from 1025 to 5000."),
               m_localPort);
        return;
    }
    QDialog::accept();
}

void CPOP3::refuse(const QString& text, QWidget* field) {
    m_context.prompter.tell(text, Prompter::kTitle, Prompter::Icon::Warning);
    field->setFocus();
}

void CPOP3::save() {
    const auto flagWord = flagWordToSave(m_flagWord->text());
    const bool flagWordSaved = !flagWord || proxy::writeSpamFlagWord(*flagWord);

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

    CDatabase& store = m_context.objects.store;
    store.setPOP3Settings(settings);
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
