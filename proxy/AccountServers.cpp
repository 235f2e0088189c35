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
                    told(services.listening, served.name),
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
    // The owner's callback with the account's name put in front.
    template <typename... Args>
    static std::function<void(Args...)> told(
        const std::function<void(const std::string&, Args...)>& callback, std::string name) {
        if (!callback) {
            return {};
        }
        return [callback, name = std::move(name)](Args... args) { callback(name, args...); };
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
        return book.listAsIs();
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

void AccountServers::reload() {
    const std::vector<Account> accounts = storedAccounts();
    std::vector<std::unique_ptr<Server>> kept;
    std::lock_guard lock(m_mutex);
    for (const Account& account : accounts) {
        const auto found = std::find_if(m_servers.begin(), m_servers.end(), [&](const auto& s) {
            return s != nullptr && s->account.name == account.name;
        });
        if (found == m_servers.end()) {
            kept.push_back(makeServer(account));
            kept.back()->thread.startServerThread();
            continue;
        }
        if ((*found)->account != account) {
            (*found)->account = account;
            (*found)->thread.restart(std::chrono::seconds(5));
        }
        kept.push_back(std::move(*found));
    }
    for (auto& removed : m_servers) {
        if (removed != nullptr) {
            removed->thread.requestStop();
            m_retired.push_back(std::move(removed));
        }
    }
    m_servers = std::move(kept);
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
