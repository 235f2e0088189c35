#include "store/AccountBook.h"

#include <algorithm>
#include <mutex>

#include "store/Database.h"

namespace {

constexpr std::size_t kLongestServerName = 79;  // what the store keeps

bool printableName(const std::string& name) {
    return !name.empty() && name.size() <= Account::kLongestName && name.front() != ' ' &&
           name.back() != ' ' && std::all_of(name.begin(), name.end(), [](char c) {
               return c >= 0x20 && c <= 0x7e;
           });
}

bool hasServer(const Pop3Settings& pop3) {
    if (!pop3.useDomainName) {
        return true;
    }
    return !pop3.serverName.empty() && pop3.serverName.size() <= kLongestServerName &&
           std::none_of(pop3.serverName.begin(), pop3.serverName.end(), [](char c) {
               return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
           });
}

AccountSettings* entryOf(Settings& settings, const std::string& name) {
    for (AccountSettings& entry : settings.accounts) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

// Every change reads the file, changes it and writes it back: two threads of
// one process doing so at once (the window, and a server thread keeping the
// port chosen after a conflict) would lose one of the changes.
std::mutex& changeLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

AccountBook::AccountBook(CDatabase& store, std::string settingsPath)
    : m_store(store), m_settingsPath(std::move(settingsPath)) {}

Settings AccountBook::loadSettings() {
    SettingsFile::Loaded loaded = SettingsFile::load(m_settingsPath);
    m_settingsProblem = loaded.problem;
    return std::move(loaded.settings);
}

std::vector<Account> AccountBook::accountsOf(CDatabase& store, const Settings& settings) {
    std::vector<Account> accounts;
    accounts.push_back(Account{Account::kMainName, store.getPOP3Settings(),
                               settings.security(Account::kMainName)});
    for (const AccountSettings& entry : settings.accounts) {
        if (entry.name != Account::kMainName && entry.pop3) {
            accounts.push_back(Account{entry.name, *entry.pop3, entry.security});
        }
    }
    return accounts;
}

std::vector<Account> AccountBook::list() {
    return accountsOf(m_store, loadSettings());
}

std::vector<Account> AccountBook::listAsIs() {
    return accountsOf(m_store, SettingsFile::loadAsIs(m_settingsPath));
}

std::optional<Account> AccountBook::find(const std::string& name) {
    for (Account& account : list()) {
        if (account.name == name) {
            return std::move(account);
        }
    }
    return std::nullopt;
}

std::optional<std::string> AccountBook::problem(const Account& account,
                                                const std::string& replacing) {
    return ruleBroken(account, replacing, list());
}

std::optional<std::string> AccountBook::ruleBroken(const Account& account,
                                                   const std::string& replacing,
                                                   const std::vector<Account>& accounts) const {
    if (!printableName(account.name)) {
        return "An account name has 1 to " + std::to_string(Account::kLongestName) +
               " printable characters, without a blank at either end";
    }
    if (replacing == Account::kMainName && !account.isMain()) {
        return std::string("The account main cannot be renamed");
    }
    if (replacing.empty() && accounts.size() >= Account::kMostAccounts) {
        return "Glimmerfen serves at most " + std::to_string(Account::kMostAccounts) + " accounts";
    }
    if (!hasServer(account.pop3)) {
        return "The account " + account.name +
               " needs a server: a name of 1 to 79 characters without blanks, or an IP number";
    }
    if (account.pop3.pop3Port < 1 || account.pop3.pop3Port > kHighestPort) {
        return "The server port must be from 1 to " + std::to_string(kHighestPort) + ", not " +
               std::to_string(account.pop3.pop3Port);
    }
    if (account.pop3.localPort < kLowestLocalPort || account.pop3.localPort > kHighestLocalPort) {
        return "The local port must be from " + std::to_string(kLowestLocalPort) + " to " +
               std::to_string(kHighestLocalPort) + ", not " +
               std::to_string(account.pop3.localPort);
    }
    for (const Account& other : accounts) {
        if (other.name == replacing) {
            continue;
        }
        if (other.name == account.name) {
            return "There is already an account named " + account.name;
        }
        if (other.pop3.localPort == account.pop3.localPort) {
            return "The local port " + std::to_string(account.pop3.localPort) +
                   " is taken by the account " + other.name;
        }
    }
    return std::nullopt;
}

std::optional<std::string> AccountBook::add(const Account& account) {
    const std::lock_guard lock(changeLock());
    Settings settings = loadSettings();
    if (std::optional<std::string> broken =
            ruleBroken(account, {}, accountsOf(m_store, settings))) {
        return broken;
    }
    settings.accounts.push_back(AccountSettings{account.name, account.pop3, account.security, {}});
    SettingsFile::save(settings, m_settingsPath);
    return std::nullopt;
}

std::optional<std::string> AccountBook::update(const std::string& name, const Account& account) {
    const std::lock_guard lock(changeLock());
    Settings settings = loadSettings();
    AccountSettings* entry = entryOf(settings, name);
    if (name != Account::kMainName && (entry == nullptr || !entry->pop3)) {
        return "There is no account named " + name;
    }
    if (std::optional<std::string> broken =
            ruleBroken(account, name, accountsOf(m_store, settings))) {
        return broken;
    }
    AccountSettings& kept = entry != nullptr ? *entry : settings.at(name);
    kept.name = account.name;
    kept.security = account.security;
    if (account.isMain()) {
        // The store keeps main's server and ports; writing them there last
        // means a failed settings file leaves both as they were.
        SettingsFile::save(settings, m_settingsPath);
        m_store.setPOP3Settings(account.pop3);
        return std::nullopt;
    }
    kept.pop3 = account.pop3;
    SettingsFile::save(settings, m_settingsPath);
    return std::nullopt;
}

std::optional<std::string> AccountBook::remove(const std::string& name) {
    if (name == Account::kMainName) {
        return std::string("The account main cannot be removed: it is the store's own server");
    }
    const std::lock_guard lock(changeLock());
    Settings settings = loadSettings();
    const auto found = std::find_if(settings.accounts.begin(), settings.accounts.end(),
                                    [&](const AccountSettings& a) { return a.name == name; });
    if (found == settings.accounts.end() || !found->pop3) {
        return "There is no account named " + name;
    }
    settings.accounts.erase(found);
    SettingsFile::save(settings, m_settingsPath);
    return std::nullopt;
}

bool AccountBook::classificationHeader() {
    return loadSettings().classificationHeader;
}

void AccountBook::setClassificationHeader(bool on) {
    const std::lock_guard lock(changeLock());
    Settings settings = loadSettings();
    settings.classificationHeader = on;
    SettingsFile::save(settings, m_settingsPath);
}
