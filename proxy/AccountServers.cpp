#include "proxy/AccountServers.h"

#include <algorithm>

#include "desktop/Desktop.h"
#include "diag/Error.h"
#include "platform/Event.h"
#include "proxy/ProxyState.h"
#include "proxy/ServerThread.h"
#include "proxy/SessionGate.h"
#include "store/AccountBook.h"
#include "store/Database.h"

// One account's proxy: its flags, its own refresh completion and its thread.
class AccountServers::Server {
  public:
    Server(const ProxyServices& services, const Account& served, const ProxyTimeouts& timeouts)
        : account(served),
          m_context{services.database,
                    services.bayes,
                    services.whiteList,
                    services.blackList,
                    services.resolver,
                    services.desktop,
                    state,
                    services.gate,
                    m_refreshDone,
                    services.listenerPass,
                    told(services.listening, served),
                    told(services.sessionEnded, served.name),
                    served.name},
          thread(m_context, timeouts) {}

    Account account;
    ProxyState state;

  private:
    // Declared before the thread, which must go first.
    platform::Event m_refreshDone{platform::Event::Reset::Manual};
    ProxyContext m_context;

  public:
    ServerThread thread;

  private:
    // The owner's callback with the account (or its name) put in front.
    template <typename Served, typename... Args>
    static std::function<void(Args...)> told(
        const std::function<void(const Served&, Args...)>& callback, Served served) {
        if (!callback) {
            return {};
        }
        return [callback, served = std::move(served)](Args... args) { callback(served, args...); };
    }
};

AccountServers::AccountServers(const ProxyServices& services, const ProxyTimeouts& timeouts)
    : m_services(services), m_timeouts(timeouts) {}

AccountServers::~AccountServers() {
    std::lock_guard lock(m_mutex);
    for (const auto& server : m_servers) {
        server->thread.requestStop();
    }
    // Each thread is joined by its ServerThread as the lists go.
    m_servers.clear();
    m_retired.clear();
}

std::unique_ptr<AccountServers::Server> AccountServers::makeServer(const Account& account) {
    return std::make_unique<Server>(m_services, account, m_timeouts);
}

// A settings file that cannot be read leaves "main" alone, whose sessions
// refuse themselves until the file is repaired: nothing is served on a guess.
std::vector<Account> AccountServers::storedAccounts() {
    AccountBook book(m_services.database);
    try {
        std::vector<Account> accounts = book.listAsIs();
        // The book refuses a 17th account, but a file edited by hand can name
        // hundreds, and each would get a thread and a listener.
        if (accounts.size() > Account::kMostAccounts) {
            m_services.desktop.showTimedBox(
                "The settings file names " + std::to_string(accounts.size()) +
                " accounts; Glimmerfen serves the first " +
                std::to_string(Account::kMostAccounts));
            accounts.resize(Account::kMostAccounts);
        }
        return accounts;
    } catch (const CError& error) {
        m_services.desktop.showTimedBox(error.what());
    }
    return {Account{Account::kMainName, m_services.database.getPOP3Settings(), {}}};
}

int AccountServers::startAll() {
    const std::vector<Account> accounts = storedAccounts();
    std::lock_guard lock(m_mutex);
    for (const Account& account : accounts) {
        m_servers.push_back(makeServer(account));
        m_servers.back()->thread.startServerThread();
    }
    return static_cast<int>(accounts.size());
}

bool AccountServers::reload(std::chrono::milliseconds wait) {
    const std::vector<Account> accounts = storedAccounts();
    std::lock_guard lock(m_mutex);
    const bool stopped = stopLeaving(accounts, wait);
    std::vector<std::unique_ptr<Server>> kept;
    for (const Account& account : accounts) {
        const auto found = std::find_if(m_servers.begin(), m_servers.end(), [&](const auto& s) {
            return s != nullptr && s->account == account;
        });
        if (found != m_servers.end()) {
            kept.push_back(std::move(*found));
            continue;
        }
        kept.push_back(makeServer(account));
        kept.back()->thread.startServerThread();
    }
    m_servers = std::move(kept);
    return stopped;
}

// Stops the proxies whose account is gone or no longer as it was, and keeps
// them until exit: a refresh the views still owe one of them must find its
// completion alive.
bool AccountServers::stopLeaving(const std::vector<Account>& accounts,
                                 std::chrono::milliseconds wait) {
    std::vector<Server*> leaving;
    for (auto& server : m_servers) {
        if (std::find(accounts.begin(), accounts.end(), server->account) == accounts.end()) {
            server->thread.requestStop();
            leaving.push_back(server.get());
            m_retired.push_back(std::move(server));
        }
    }
    std::erase(m_servers, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool stopped = true;
    for (Server* server : leaving) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        stopped = server->thread.waitStopped(std::max(left, std::chrono::milliseconds(0))) &&
                  stopped;
    }
    return stopped;
}

std::vector<std::string> AccountServers::restartIfStopped(
    const std::function<bool(const std::string&)>& held) {
    std::vector<std::string> restarted;
    std::lock_guard lock(m_mutex);
    for (const auto& server : m_servers) {
        if (held && held(server->account.name)) {
            continue;
        }
        if (server->thread.restartIfStopped()) {
            restarted.push_back(server->account.name);
        }
    }
    return restarted;
}

bool AccountServers::restartServer(std::chrono::milliseconds wait) {
    bool restarted = true;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& server : m_servers) {
            server->thread.requestStop();
        }
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (const auto& server : m_servers) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            restarted = server->thread.restart(std::max(left, std::chrono::milliseconds(0))) &&
                        restarted;
        }
    }
    m_services.desktop.showMessage(restarted ? "Server Restarted!"
                                             : "Didn't Restart. 5 second wait timed out.");
    return restarted;
}

bool AccountServers::stopForExit(std::chrono::milliseconds wait) {
    std::lock_guard lock(m_mutex);
    for (const auto& server : m_servers) {
        server->thread.requestStop();
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool ended = true;
    for (const auto& server : m_servers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        ended = server->thread.waitStopped(std::max(left, std::chrono::milliseconds(0))) && ended;
    }
    return ended;
}

bool AccountServers::anySessionActive() const {
    return m_services.gate.anySessionActive();
}

std::vector<AccountStatus> AccountServers::status() const {
    std::vector<AccountStatus> statuses;
    std::lock_guard lock(m_mutex);
    for (const auto& server : m_servers) {
        statuses.push_back(AccountStatus{server->account.name, server->thread.listeningPort(),
                                         server->state.sessionActive.load()});
    }
    return statuses;
}

int AccountServers::listeningCount() const {
    const std::vector<AccountStatus> statuses = status();
    return static_cast<int>(std::count_if(statuses.begin(), statuses.end(),
                                          [](const AccountStatus& s) { return s.listening(); }));
}

ProxyState* AccountServers::stateOf(const std::string& name) {
    std::lock_guard lock(m_mutex);
    for (const auto& server : m_servers) {
        if (server->account.name == name) {
            return &server->state;
        }
    }
    return nullptr;
}
