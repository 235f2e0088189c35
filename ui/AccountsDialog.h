#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QTimer>

#include "store/Account.h"

class AccountServers;
class QPushButton;
class QTableWidget;
struct ViewContext;

// Server > Accounts: every account the proxy serves, with its server, its
// connection security, the local port its mail client uses and whether its
// listener is up; Add, Edit and Remove. Every change goes through the account
// book (a refusal is shown and nothing is saved) and is followed by a reload
// of the servers, so a new account is served at once.
class AccountsDialog : public QDialog {
    Q_OBJECT

  public:
    enum Column { kName, kServer, kPort, kSecurity, kLocalPort, kListening, kColumns };
    // How often the listening column follows the servers while open.
    static constexpr int kStatusRefreshMs = 1000;

    // Reads the accounts; a settings file that cannot be read throws CError,
    // a damaged one is told (it has been set aside).
    AccountsDialog(ViewContext& context, AccountServers& servers, QWidget* parent = nullptr);

    // The lowest local port from 1025 to 5000 that none of `accounts` has; 0
    // when every one is taken.
    static int unusedLocalPort(const std::vector<Account>& accounts);

  private:
    void build();
    void loadAccounts();
    void refreshListening();
    void onSelectionChanged();
    const Account* selected() const;
    void addAccount();
    void editAccount();
    void removeAccount();
    bool editMain();
    void afterChange();
    void tellError(const std::string& message);

    ViewContext& m_context;
    AccountServers& m_servers;
    std::vector<Account> m_accounts;  // as listed, main first
    QTableWidget* m_table;
    QPushButton* m_add;
    QPushButton* m_edit;
    QPushButton* m_remove;
    QPushButton* m_close;
    QTimer m_statusTimer;
};
