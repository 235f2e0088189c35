#include "cli/ProxyCommands.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "cli/BuildCommands.h"
#include "cli/CliError.h"
#include "cli/CliStore.h"
#include "cli/ServerOptions.h"
#include "desktop/ConsoleDesktop.h"
#include "diag/Error.h"
#include "platform/Event.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"
#include "platform/InstanceLock.h"
#include "proxy/AccountServers.h"
#include "proxy/ProcessObjects.h"
#include "proxy/ServerProbe.h"
#include "proxy/SpamFlagWord.h"
#include "store/AccountBook.h"
#include "store/Backup.h"
#include "store/Folder.h"
#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"
#include "store/SettingsFile.h"

namespace commands {

namespace {

using namespace std::chrono_literals;

constexpr auto kRestartTick = 5s;
constexpr auto kSignalPoll = 200ms;
constexpr auto kProbeTimeout = 10s;  // the proxy's own connect time-out
const std::string kAccount = "main";

// The console side of the running proxy: one line on standard error for each
// thing worth telling, and the views' refresh done on the store itself.
class ProxyConsole : public ConsoleDesktop {
  public:
    explicit ProxyConsole(std::ostream& out) : ConsoleDesktop(out), m_out(out) {}

    void attach(CDatabase& database) { m_database = &database; }

    void log(const std::string& line) {
        std::string text = "glimmerfen: " + line;
        // Error records run over several lines; a log line is one.
        for (char& c : text) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        std::lock_guard lock(m_mutex);
        m_out << text << '\n' << std::flush;
    }

    void showTimedBox(const std::string& message) override { log(message); }
    void showMessage(const std::string& message) override { log(message); }

    // What the main window does after a session: clean, trim, and say done.
    void postRefreshViews(int parameter, platform::Event& done) override {
        if (parameter == 1 && m_database != nullptr) {
            try {
                m_database->cleanAllFolders();
                m_database->trimFolderToTrash(folderKey(Folder::New));
                m_database->trimTrash();
            } catch (const CError& error) {
                log(error.what());
            }
        }
        done.set();
    }

    // Nobody can answer: the port stays as it was (the proxy's rule still
    // moves one outside 1025 to 5000 to 2000) and the account is left
    // unserved; the command reports the conflict and ends when no account
    // can listen at all.
    int askForPort(int currentPort, const std::string& account) override {
        std::lock_guard lock(m_conflictMutex);
        m_conflicts.push_back({account, currentPort});
        return currentPort;
    }
    // The conflicts told so far, in order.
    std::vector<std::pair<std::string, int>> conflicts() const {
        std::lock_guard lock(m_conflictMutex);
        return m_conflicts;
    }
    bool inConflict(const std::string& account) const {
        std::lock_guard lock(m_conflictMutex);
        return std::any_of(m_conflicts.begin(), m_conflicts.end(),
                           [&](const auto& conflict) { return conflict.first == account; });
    }

  private:
    std::ostream& m_out;
    std::mutex m_mutex;
    CDatabase* m_database = nullptr;
    mutable std::mutex m_conflictMutex;
    std::vector<std::pair<std::string, int>> m_conflicts;
};

// Blocks the stop and build-request signals in this thread and in every thread
// started after it, so that they wait for sigtimedwait in the main loop
// instead of interrupting whatever thread they happen to hit.
class BlockedSignals {
  public:
    BlockedSignals() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, kBuildRequestSignal);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
    }
    ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    BlockedSignals(const BlockedSignals&) = delete;
    BlockedSignals& operator=(const BlockedSignals&) = delete;

    // The signal that came within `wait`, or 0.
    int wait(std::chrono::milliseconds wait) const {
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(wait.count() / 1000);
        timeout.tv_nsec = static_cast<long>((wait.count() % 1000) * 1'000'000);
        const int signal = sigtimedwait(&m_set, nullptr, &timeout);
        return signal > 0 ? signal : 0;
    }

  private:
    sigset_t m_set{};
    sigset_t m_previous{};
};

std::string conflictText(int port) {
    return "There is a Server Port conflict.  The current port number " + std::to_string(port) +
           " must be changed. Another program, maybe another user's, holds 127.0.0.1:" +
           std::to_string(port) + ".";
}

// The settings file beside the store; a damaged one has been set aside, which
// the user is told.
Settings loadSettingsFile(std::ostream& messages) {
    SettingsFile::Loaded loaded = SettingsFile::load();
    if (loaded.problem) {
        messages << "glimmerfen-cli: " << *loaded.problem << '\n';
    }
    return std::move(loaded.settings);
}

void printSecurity(const ServerSecurity& security, std::ostream& out) {
    out << "security " << securityName(security.mode) << '\n'
        << "certificate " << (security.pin ? platform::fingerprintText(*security.pin) : "none")
        << '\n';
}

void printProbe(const ProbeReport& report, std::ostream& out) {
    // Only what was learnt: a failed connection has no greeting.
    if (!report.greeting.empty()) {
        out << "greeting " << report.greeting << '\n';
    }
    if (!report.certificate) {
        if (report.sessionCouldStart) {
            out << "tls none\n";
        }
        return;
    }
    const platform::CertificateReport& certificate = *report.certificate;
    out << "tls " << certificate.protocol << '\n'
        << "subject " << certificate.subject << '\n'
        << "issuer " << certificate.issuer << '\n'
        << "valid-from " << certificate.notBefore << '\n'
        << "valid-until " << certificate.notAfter << '\n'
        << "fingerprint " << platform::fingerprintText(certificate.digest) << '\n'
        << "verified "
        << (certificate.verified ? (certificate.pinMatched ? "yes (trusted certificate)" : "yes")
                                 : "no: " + certificate.verifyError)
        << '\n';
}

void printSettings(const Pop3Settings& settings, std::ostream& out) {
    out << "mode " << (settings.useDomainName ? "domain-name" : "ip") << '\n'
        << "server " << settings.serverName << '\n'
        << "server-ip "
        << platform::addressToDotted({settings.ip1, settings.ip2, settings.ip3, settings.ip4})
        << '\n'
        << "pop3-port " << settings.pop3Port << '\n'
        << "local-port " << settings.localPort << '\n';
}

std::string sessionLine(const SessionSummary& summary) {
    return "session ended (" + summary.end + "): " + std::to_string(summary.retrieved) +
           " retrieved, " + std::to_string(summary.recorded) + " recorded, " +
           std::to_string(summary.spam) + " marked as spam";
}

// Serves until a stop signal, or until no account can listen for a port
// conflict nobody here can answer (then the conflict is the command's error).
void serveUntilStopped(AccountServers& servers, ProxyConsole& console,
                       const BlockedSignals& signals, ProcessObjects& objects, int accounts) {
    auto nextRestartCheck = std::chrono::steady_clock::now() + kRestartTick;
    std::size_t conflictsTold = 0;
    const auto held = [&console](const std::string& account) { return console.inConflict(account); };
    for (;;) {
        const int signal = signals.wait(kSignalPoll);
        if (signal == SIGINT || signal == SIGTERM) {
            console.log("stopping");
            return;
        }
        if (signal == kBuildRequestSignal) {
            objects.schedule.setBuildNowPending(true);
            console.log("build requested");
        }
        const auto conflicts = console.conflicts();
        // With one account the error says it all; with several, the others
        // go on and each conflict is told as it happens.
        for (; accounts > 1 && conflictsTold < conflicts.size(); ++conflictsTold) {
            console.log(accountPrefix(conflicts[conflictsTold].first) +
                        conflictText(conflicts[conflictsTold].second));
        }
        if (static_cast<int>(conflicts.size()) >= accounts) {
            throw CliError(conflictText(conflicts.front().second));
        }
        if (std::chrono::steady_clock::now() >= nextRestartCheck) {
            nextRestartCheck = std::chrono::steady_clock::now() + kRestartTick;
            for (const std::string& account : servers.restartIfStopped(held)) {
                console.log(accountPrefix(account) + "the proxy had stopped; restarted");
            }
        }
    }
}

}  // namespace

void proxy(const Arguments& args, std::ostream&, std::ostream& messages) {
    if (!args.empty()) {
        throw UsageError("usage: glimmerfen-cli proxy");
    }
    if (!platform::fileExists(CDatabase::kDefaultFileName)) {
        throw CliError(std::string("no store here (") + CDatabase::kDefaultFileName +
                       " is missing; run 'glimmerfen-cli init')");
    }
    platform::InstanceLock lock(kBackupDirectory);
    lockInstallation(lock, messages);

    const BlockedSignals signals;
    ProxyConsole console(messages);
    std::atomic<bool> cancelBuild{false};
    console.setCancelFlag(&cancelBuild);
    ProcessObjects objects(console);
    console.attach(objects.store);
    objects.applyStateByte();

    ProxyServices services = objects.proxyServices();
    services.listenerPass = [&objects, &console] {
        if (objects.buildCheck.onListenerPass()) {
            console.log("filter build ended");
        }
    };
    services.listening = [&console](const Account& account, std::uint16_t port) {
        console.log(accountPrefix(account.name) + "listening on 127.0.0.1:" + std::to_string(port) +
                    ", POP3 server " + serverText(account.pop3));
    };
    services.sessionEnded = [&console](const std::string& account, const SessionSummary& summary) {
        console.log(accountPrefix(account) + sessionLine(summary));
    };
    AccountServers servers(services);
    const int accounts = servers.startAll();
    try {
        serveUntilStopped(servers, console, signals, objects, accounts);
    } catch (...) {
        cancelBuild = true;
        servers.stopForExit();
        throw;
    }
    cancelBuild = true;
    servers.stopForExit();
}

void settings(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (args.empty()) {
        CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
        printSettings(store.database().getPOP3Settings(), out);
        printSecurity(loadSettingsFile(messages).security(kAccount), out);
        return;
    }
    constexpr const char* kUsage =
        "usage: glimmerfen-cli settings [--server NAME | --server-ip A.B.C.D] [--pop3-port N] "
        "[--local-port N] [--security plain|starttls|tls] [--trust-certificate SHA256|none]";
    const ServerOptions options = ServerOptions::parse(args, kUsage);
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    Pop3Settings settings = store.database().getPOP3Settings();
    Settings file = loadSettingsFile(messages);
    options.applyTo(settings, file.at(kAccount).security);
    if (options.localPort) {
        // Another account's port would leave one of the two unserved.
        const Account main{kAccount, settings, file.security(kAccount)};
        if (std::optional<std::string> taken = AccountBook(store.database()).problem(main, kAccount)) {
            throw UsageError(*taken);
        }
    }
    if (options.mode || options.pin) {
        SettingsFile::save(file);
    }
    store.database().setPOP3Settings(settings);
    printSettings(store.database().getPOP3Settings(), out);
    printSecurity(file.security(kAccount), out);
}

void testServer(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (!args.empty()) {
        throw UsageError("usage: glimmerfen-cli test-server");
    }
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    const Pop3Settings server = store.database().getPOP3Settings();
    const ServerSecurity security = loadSettingsFile(messages).security(kAccount);
    const std::atomic<bool> stop{false};
    const ProbeReport report = probeServer(server, security, kProbeTimeout, stop);
    printProbe(report, out);
    out.flush();
    if (!report.sessionCouldStart) {
        throw CliError(report.failure);
    }
}

void flagWord(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (args.size() > 1) {
        throw UsageError("usage: glimmerfen-cli flag-word [WORD]");
    }
    if (args.empty()) {
        out << ::proxy::readSpamFlagWord() << '\n';
        return;
    }
    const std::string& word = args[0];
    if (word.size() < ::proxy::kMinSpamFlagWord || word.size() > ::proxy::kMaxSpamFlagWord) {
        throw UsageError("the spam flag word has 2 to 20 characters");
    }
    platform::InstanceLock lock(kBackupDirectory);
    lockInstallation(lock, messages);
    if (!::proxy::writeSpamFlagWord(word)) {
        throw CliError(std::string("cannot write ") + ::proxy::kSpamFlagFile);
    }
    out << ::proxy::readSpamFlagWord() << '\n';
}

}  // namespace commands
