#include "ui/AccountsDialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "diag/Error.h"
#include "proxy/AccountServers.h"
#include "proxy/ProcessObjects.h"
#include "store/AccountBook.h"
#include "ui/POP3.h"
#include "ui/ProbeText.h"
#include "ui/Prompter.h"
#include "ui/ViewContext.h"

namespace {

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

QString listeningText(const Account& account, const std::vector<AccountStatus>& statuses) {
    const auto found = std::find_if(statuses.begin(), statuses.end(),
                                    [&](const AccountStatus& s) { return s.name == account.name; });
    if (found == statuses.end() || !found->listening()) {
        return QStringLiteral("Not listening");
    }
    // A port conflict answered with another port: the mail client must be told.
    if (found->listeningPort != account.pop3.localPort) {
        return QStringLiteral("Listening on %1").arg(found->listeningPort);
    }
    return QStringLiteral("Listening");
}

// What Add offers: the usual secure port, and a local port nobody has.
Account newAccount(const std::vector<Account>& accounts) {
    Account account;
    account.pop3.pop3Port = portForSecurity(Security::Tls, Pop3Settings{}.pop3Port);
    account.pop3.localPort = AccountsDialog::unusedLocalPort(accounts);
    account.security.mode = Security::Tls;
    return account;
}

}  // namespace

AccountsDialog::AccountsDialog(ViewContext& context, AccountServers& servers, QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_servers(servers),
      m_table(new QTableWidget(0, kColumns, this)),
      m_add(new QPushButton(QStringLiteral("Add..."), this)),
      m_edit(new QPushButton(QStringLiteral("Edit..."), this)),
      m_remove(new QPushButton(QStringLiteral("Remove"), this)),
      m_close(new QPushButton(QStringLiteral("Close"), this)) {
    setWindowTitle(QStringLiteral("Accounts"));
    build();
    loadAccounts();
    connect(m_add, &QPushButton::clicked, this, &AccountsDialog::addAccount);
    connect(m_edit, &QPushButton::clicked, this, &AccountsDialog::editAccount);
    connect(m_remove, &QPushButton::clicked, this, &AccountsDialog::removeAccount);
    connect(m_close, &QPushButton::clicked, this, &AccountsDialog::accept);
    connect(m_table, &QTableWidget::itemSelectionChanged, this,
            &AccountsDialog::onSelectionChanged);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, &AccountsDialog::editAccount);
    connect(&m_statusTimer, &QTimer::timeout, this, &AccountsDialog::refreshListening);
    m_statusTimer.start(kStatusRefreshMs);
}

void AccountsDialog::build() {
    m_table->setObjectName(QStringLiteral("accounts"));
    m_add->setObjectName(QStringLiteral("add"));
    m_edit->setObjectName(QStringLiteral("edit"));
    m_remove->setObjectName(QStringLiteral("remove"));
    m_close->setObjectName(QStringLiteral("close"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Server"),
                                        QStringLiteral("Port"), QStringLiteral("Security"),
                                        QStringLiteral("Local Port"), QStringLiteral("Status")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setSectionResizeMode(kServer, QHeaderView::Stretch);
    m_table->setMinimumWidth(620);
    m_close->setDefault(true);
    for (QPushButton* button : {m_add, m_edit, m_remove}) {
        button->setAutoDefault(false);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_add);
    buttons->addWidget(m_edit);
    buttons->addWidget(m_remove);
    buttons->addStretch();
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
}

void AccountsDialog::loadAccounts() {
    AccountBook book(m_context.objects.store);
    m_accounts = book.list();
    if (book.settingsProblem()) {
        m_context.prompter.tell(text(*book.settingsProblem()), Prompter::kTitle,
                                Prompter::Icon::Warning);
    }
    const QSignalBlocker quiet(m_table);
    m_table->setRowCount(static_cast<int>(m_accounts.size()));
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const Account& account = m_accounts[static_cast<std::size_t>(row)];
        const std::string_view security = securityLabel(account.security.mode);
        const QString cells[] = {text(account.name),
                                 probetext::host(account.pop3),
                                 QString::number(account.pop3.pop3Port),
                                 QString::fromLatin1(security.data(), qsizetype(security.size())),
                                 QString::number(account.pop3.localPort),
                                 QString()};
        for (int column = 0; column < kColumns; ++column) {
            m_table->setItem(row, column, new QTableWidgetItem(cells[column]));
        }
    }
    m_table->resizeColumnsToContents();
    m_table->clearSelection();
    m_table->setCurrentItem(nullptr);
    refreshListening();
    onSelectionChanged();
}

void AccountsDialog::refreshListening() {
    const std::vector<AccountStatus> statuses = m_servers.status();
    for (int row = 0; row < m_table->rowCount(); ++row) {
        m_table->item(row, kListening)
            ->setText(listeningText(m_accounts[static_cast<std::size_t>(row)], statuses));
    }
}

void AccountsDialog::onSelectionChanged() {
    const bool chosen = selected() != nullptr;
    m_edit->setEnabled(chosen);
    m_remove->setEnabled(chosen);
    m_add->setEnabled(m_accounts.size() < Account::kMostAccounts);
}

const Account* AccountsDialog::selected() const {
    const QList<QTableWidgetItem*> items = m_table->selectedItems();
    if (items.isEmpty()) {
        return nullptr;
    }
    const auto row = static_cast<std::size_t>(items.front()->row());
    return row < m_accounts.size() ? &m_accounts[row] : nullptr;
}

int AccountsDialog::unusedLocalPort(const std::vector<Account>& accounts) {
    for (int port = kLowestLocalPort; port <= kHighestLocalPort; ++port) {
        if (std::none_of(accounts.begin(), accounts.end(),
                         [&](const Account& a) { return a.pop3.localPort == port; })) {
            return port;
        }
    }
    return 0;
}

void AccountsDialog::addAccount() {
    CPOP3 dialog(m_context, newAccount(m_accounts), {}, this);
    if (dialog.exec() == QDialog::Accepted) {
        afterChange();
    }
}

// Main's settings are the store's and the whole installation's: its own
// dialog, as Server > POP3 Settings opens it.
void AccountsDialog::editAccount() {
    const Account* account = selected();
    if (account == nullptr) {
        return;
    }
    if (account->isMain()) {
        if (editMain()) {
            afterChange();
        }
        return;
    }
    CPOP3 dialog(m_context, *account, account->name, this);
    if (dialog.exec() == QDialog::Accepted) {
        afterChange();
    }
}

bool AccountsDialog::editMain() {
    try {
        CPOP3 dialog(m_context, this);
        if (dialog.exec() != QDialog::Accepted) {
            return false;
        }
        dialog.save();
    } catch (const CError& error) {
        tellError(error.m_message);
        return false;
    }
    return true;
}

void AccountsDialog::removeAccount() {
    const Account* account = selected();
    if (account == nullptr) {
        return;
    }
    const std::string name = account->name;
    AccountBook book(m_context.objects.store);
    // Main is refused by the book before anything is asked.
    if (!account->isMain() &&
        !m_context.prompter.askYesNo(
            QStringLiteral("Remove the account %1? Its mail client will no longer reach its "
                           "server through Glimmerfen.")
                .arg(text(name)))) {
        return;
    }
    try {
        if (const std::optional<std::string> refused = book.remove(name)) {
            tellError(*refused);
            return;
        }
    } catch (const CError& error) {
        tellError(error.m_message);
        return;
    }
    afterChange();
}

void AccountsDialog::afterChange() {
    if (!m_servers.reload()) {
        tellError("Didn't Restart. 5 second wait timed out.");
    }
    try {
        loadAccounts();
    } catch (const CError& error) {
        tellError(error.m_message);
    }
}

void AccountsDialog::tellError(const std::string& message) {
    m_context.prompter.tell(text(message), Prompter::kTitle, Prompter::Icon::Warning);
}
