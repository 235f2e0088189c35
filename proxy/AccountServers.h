#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "proxy/MidpointServer.h"
#include "store/Account.h"

class SessionGate;

// What every account's proxy shares: the process's objects, and what the
// owner wants told. The callbacks may be called from any server thread.
struct ProxyServices {
    CDatabase& database;
    BayesFilter& bayes;
    FilterList& whiteList;
    FilterList& blackList;
    DnsResolver& resolver;
    Desktop& desktop;
    SessionGate& gate;
    // Called once per listener pass of any account: the scheduled-build check.
    std::function<void()> listenerPass;
    // Told the port an account's listener took, once it listens, with the
    // account as its proxy was started (no file is read for it: a damaged
    // settings file must stay where it is for the sessions to refuse).
    std::function<void(const Account& account, std::uint16_t port)> listening;
    // Told at the end of each client session of any account.
    std::function<void(const std::string& account, const SessionSummary&)> sessionEnded;
};

// How one account's proxy stands, for the window and the tray.
struct AccountStatus {
    std::string name;
    // The port its listener holds; 0 while it does not listen.
    std::uint16_t listeningPort = 0;
    bool sessionActive = false;

    bool listening() const { return listeningPort != 0; }
};

// One server thread per account, each serving its own sessions one at a time
// as a single proxy does; sessions of different accounts run at the same
// time. Meant for one controlling thread (the window thread, or
// glimmerfen-cli's main thread).
class AccountServers {
  public:
    explicit AccountServers(const ProxyServices& services, const ProxyTimeouts& timeouts = {});
    // Stops every proxy and waits for the threads.
    ~AccountServers();
    AccountServers(const AccountServers&) = delete;
    AccountServers& operator=(const AccountServers&) = delete;

    // Starts a proxy for every stored account; returns how many were started.
    // A settings file that cannot be read is shown, and "main" alone is served.
    int startAll();
    // After the accounts were changed: the proxies of removed and changed
    // accounts stop first (so a renamed account's port is free again), then
    // new and changed accounts start. Others are left serving. False when a
    // proxy did not stop within `wait` (its account's new proxy may then find
    // its port taken).
    bool reload(std::chrono::milliseconds wait = std::chrono::seconds(5));

    // The automatic restart, for the 5-second timer: each account whose proxy
    // stopped by itself starts again, unless `held` says to leave it (an
    // account whose port conflict nobody can answer). Returns the accounts
    // restarted.
    std::vector<std::string> restartIfStopped(
        const std::function<bool(const std::string&)>& held = {});
    // Restart Server: restarts every account's proxy, then says "Server
    // Restarted!" once; "Didn't Restart. 5 second wait timed out." when one
    // did not stop in time (false).
    bool restartServer(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // For exit: stops every proxy, waiting at most `wait` in all; true when
    // every thread has ended.
    bool stopForExit(std::chrono::milliseconds wait = std::chrono::seconds(1));

    bool anySessionActive() const;
    // Every account that has a proxy, in the stored order.
    std::vector<AccountStatus> status() const;
    // How many accounts' listeners are up.
    int listeningCount() const;
    // The proxy of `name` (nullptr when it has none): for tests.
    ProxyState* stateOf(const std::string& name);

  private:
    class Server;

    std::unique_ptr<Server> makeServer(const Account& account);
    bool stopLeaving(const std::vector<Account>& accounts, std::chrono::milliseconds wait);
    std::vector<Account> storedAccounts();

    const ProxyServices m_services;
    const ProxyTimeouts m_timeouts;
    mutable std::mutex m_mutex;  // guards m_servers against status() from other threads
    std::vector<std::unique_ptr<Server>> m_servers;
    // Stopped proxies of removed accounts, kept until exit: a refresh the
    // views still owe one of them must find its completion alive.
    std::vector<std::unique_ptr<Server>> m_retired;
};
