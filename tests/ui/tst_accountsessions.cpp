// Three accounts fetched at once through one AccountServers while the window
// moves mail and a scheduled filter build runs: the sessions of different
// accounts, the build and the window share the store, the filter and the
// gate. No process is started (ThreadSanitizer forbids a fork here): servers
// and mail clients are threads of this test.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QDeadlineTimer>
#include <QtTest>

#include "ListPanes.h"
#include "ModalWatch.h"
#include "RoundMailServer.h"
#include "UiFixture.h"
#include "proxy/AccountServers.h"
#include "proxy/SessionGate.h"
#include "store/AccountBook.h"
#include "store/Folder.h"

using namespace std::chrono_literals;

namespace {

constexpr int kLong = 120000;
constexpr int kMessages = 4;
constexpr int kFewestRounds = 3;
constexpr int kMostRounds = 40;
constexpr int kFewestMoves = 3;
constexpr int kRowsPerMove = 3;
// A client waits this long for its greeting: the account whose server thread
// runs the filter build takes no client until the build has ended.
constexpr auto kGreetingWait = 100s;
// At 10 ms each, as long.
constexpr int kMostHoldPolls = 10000;

const char* const kSpamWords = "cheap pills casino jackpot winner prize claim viagra offer";
const char* const kGoodWords = "meeting agenda project minutes lunch report schedule review";
const QString kDownloading =
    QStringLiteral("Downloading.  Must wait for download to complete to move emails");

std::string subjectOf(const std::string& account, int session, int number) {
    return account + " session " + std::to_string(session) + " message " + std::to_string(number);
}

// In the words the filter was taught as good: rated ham, every message must
// reach the client exactly as its server sent it.
std::string messageOf(const std::string& account, int session, int number) {
    return "From: Colleague <colleague@example.org>\r\nTo: reader@example.org\r\nSubject: " +
           subjectOf(account, session, number) +
           "\r\nDate: Tue, 7 Mar 2006 08:05:00 +0000\r\n\r\n" + kGoodWords + "\r\n..." +
           kGoodWords + "\r\n" + kGoodWords + "\r\n";
}

std::vector<std::string> mailboxOf(const std::string& account, int session) {
    std::vector<std::string> messages;
    for (int number = 1; number <= kMessages; ++number) {
        messages.push_back(messageOf(account, session, number));
    }
    return messages;
}

bool isOk(const std::optional<std::string>& reply) {
    return reply && reply->starts_with("+OK") && reply->ends_with("\r\n");
}

// A mail client of one account on a thread of its own: USER, PASS, STAT,
// every message retrieved, QUIT, round after round until `enough` says so.
// Given `holdFor`, its first session waits after the first message until that
// is true, so that whatever the test waits for happens beside an open session.
class FetchingClient {
  public:
    FetchingClient(std::string account, std::uint16_t port, std::function<bool()> enough,
                   std::chrono::milliseconds pause, std::function<bool()> holdFor = {})
        : m_account(std::move(account)),
          m_port(port),
          m_enough(std::move(enough)),
          m_pause(pause),
          m_holdFor(std::move(holdFor)),
          m_thread([this] { run(); }) {}
    ~FetchingClient() { join(); }
    FetchingClient(const FetchingClient&) = delete;
    FetchingClient& operator=(const FetchingClient&) = delete;

    const std::string& account() const { return m_account; }
    bool done() const { return m_done.load(); }
    int rounds() const { return m_rounds.load(); }
    void join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // What went wrong; read after join().
    const std::string& problem() const { return m_problem; }

  private:
    void run() {
        for (int round = 0; round < kMostRounds && (round < kFewestRounds || !m_enough());
             ++round) {
            m_problem = fetchRound(round);
            if (!m_problem.empty()) {
                m_problem = m_account + " round " + std::to_string(round) + ": " + m_problem;
                break;
            }
            ++m_rounds;
            std::this_thread::sleep_for(m_pause);
        }
        m_done = true;
    }

    std::string fetchRound(int session) const {
        const std::vector<std::string> mailbox = mailboxOf(m_account, session);
        proxytest::Peer peer;
        if (!peer.connectTo(m_port)) {
            return "no connection";
        }
        if (peer.socket().waitReadable(kGreetingWait) != platform::TcpSocket::Wait::Ready ||
            !isOk(peer.readLine())) {
            return "no greeting";
        }
        for (const char* command : {"USER reader\r\n", "PASS secret\r\n"}) {
            if (!peer.send(command) || !isOk(peer.readLine())) {
                return std::string("refused ") + command;
            }
        }
        const std::optional<std::string> stat =
            peer.send("STAT\r\n") ? peer.readLine() : std::nullopt;
        if (!isOk(stat) || !stat->starts_with("+OK " + std::to_string(kMessages) + " ")) {
            return "STAT answered " + stat.value_or("nothing");
        }
        for (int number = 1; number <= kMessages; ++number) {
            if (!peer.send("RETR " + std::to_string(number) + "\r\n") ||
                peer.readMultiLine() != RoundMailServer::retrieval(mailbox[number - 1])) {
                return "message " + std::to_string(number) + " not as sent";
            }
            if (session == 0 && number == 1 && !hold()) {
                return "held in vain";
            }
        }
        std::string rest;
        if (!peer.send("QUIT\r\n") || peer.readLine() != "+OK bye\r\n" || !peer.readToClose(rest) ||
            !rest.empty()) {
            return "QUIT not answered and closed";
        }
        return {};
    }

    bool hold() const {
        for (int poll = 0; m_holdFor && poll < kMostHoldPolls; ++poll) {
            if (m_holdFor()) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return !m_holdFor;
    }

    const std::string m_account;
    const std::uint16_t m_port;
    const std::function<bool()> m_enough;
    const std::chrono::milliseconds m_pause;
    const std::function<bool()> m_holdFor;
    std::string m_problem;
    std::atomic<int> m_rounds{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// `count` different ports of the proxy's range, each free just now.
std::vector<std::uint16_t> freeLocalPorts(int count) {
    std::vector<platform::TcpSocket> held(static_cast<std::size_t>(count));
    std::vector<std::uint16_t> ports;
    for (platform::TcpSocket& socket : held) {
        const int port = freeLocalPort();
        // Held while the next is picked, so that it cannot be picked again.
        if (port == 0 || !socket.open() || !socket.bindLoopback(static_cast<std::uint16_t>(port)) ||
            !socket.listen(1)) {
            return {};
        }
        ports.push_back(static_cast<std::uint16_t>(port));
    }
    return ports;
}

Account accountOf(const std::string& name, std::uint16_t serverPort, std::uint16_t localPort) {
    Account account;
    account.name = name;
    account.pop3.useDomainName = false;
    account.pop3.ip1 = 127;
    account.pop3.ip4 = 1;
    account.pop3.pop3Port = serverPort;
    account.pop3.localPort = localPort;
    return account;
}

// Training folders big enough for a real build, and a filter that rates the
// test's mail as ham.
void seedFolders(UiFixture& f) {
    for (int i = 0; i < 8; ++i) {
        f.addEmail("badA", "seed offer " + std::to_string(i), "Spammer <spam@example.net>",
                   kSpamWords);
        f.addEmail("goodA", "seed note " + std::to_string(i), "Friend <friend@example.org>",
                   kGoodWords);
    }
    for (int i = 0; i < 6; ++i) {
        f.addEmail("badB", "seed stored offer " + std::to_string(i), "Spammer <spam@example.net>",
                   kSpamWords);
        f.addEmail("goodB", "seed stored note " + std::to_string(i), "Friend <friend@example.org>",
                   kGoodWords);
    }
    f.trainFilter(kSpamWords, kGoodWords);
}

// Moves the newest rows of New Emails to Store Good with F2, as the user
// would; the indexes moved, none when the move was refused.
std::vector<int> moveNewestToStoreGood(ListPanes& p) {
    // The builder's dialog takes the activation with it when it closes; the
    // keys reach the list only in the active window.
    if (!p.window->isActiveWindow()) {
        p.window->activateWindow();
        if (!p.ready()) {
            return {};
        }
    }
    const int before = p.rowCount();
    const int count = std::min(kRowsPerMove, before);
    if (count == 0) {
        return {};
    }
    std::vector<int> indexes;
    for (int row = 0; row < count; ++row) {
        indexes.push_back(p.text(row, CHeadersView::Column::kIndexColumn).toInt());
    }
    p.select(0, count);
    p.press(Qt::Key_F2);
    return p.rowCount() == before - count ? indexes : std::vector<int>{};
}

// True when nothing holds the store against a mail move just now.
bool noMoveClaimed(SessionGate& gate) {
    const bool free = gate.tryClaimMailMove();
    if (free) {
        gate.releaseMailMove();
    }
    return free;
}

// What the session callbacks of every server thread leave for the test.
struct SessionLog {
    void add(const std::string& account, const SessionSummary& summary) {
        std::lock_guard lock(mutex);
        summaries.emplace_back(account, summary);
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return summaries.size();
    }

    std::mutex mutex;
    std::vector<std::pair<std::string, SessionSummary>> summaries;
};

// The view refreshes the sessions and the build asked for, counted on the
// window thread as the main frame would serve them.
struct RefreshLog {
    int afterSession = 0;
    int afterBuild = 0;
    // A session that had stopped waiting before its refresh came: nothing held
    // the store against a move any more when it did.
    int late = 0;
};

void serveRefreshes(UiFixture& f, ListPanes& p, RefreshLog& log) {
    f.desktop().setRefreshHandler([&f, &p, &log](int parameter) {
        if (parameter == 0) {
            ++log.afterBuild;
            p.headers->setActiveFolder(p.headers->currentFolder());
            return;
        }
        ++log.afterSession;
        log.late += noMoveClaimed(f.objects().sessionGate) ? 1 : 0;
        f.store().cleanAllFolders();
        p.headers->trimAndRefresh();
        p.folders->refreshCounts();
    });
    QObject::connect(&f.desktop(), &QtDesktop::folderCountsRefreshRequested, p.folders,
                     &CFoldersView::refreshCounts);
    QObject::connect(&f.desktop(), &QtDesktop::headerRowAdded, p.headers, &CHeadersView::addRow);
}

// Where each of the test's emails is stored, by subject; every index of the
// store seen once, or `duplicateIndex` set.
struct StoredMail {
    explicit StoredMail(CDatabase& store) {
        std::set<int> seen;
        for (const Folder folder : kAllFolders) {
            const std::string key(folderKey(folder));
            for (const int index : store.emailIndexes(key)) {
                duplicateIndex = duplicateIndex || !seen.insert(index).second;
                EmailHeader header;
                std::string text;
                if (store.getEmailHeader(index, key, header, text) &&
                    header.subject.find(" session ") != std::string::npos) {
                    places[header.subject].emplace_back(key, index);
                }
            }
        }
    }

    std::map<std::string, std::vector<std::pair<std::string, int>>> places;
    bool duplicateIndex = false;
};

}  // namespace

class AccountSessionsTest : public QObject {
    Q_OBJECT

  private slots:
    void threeAccountsFetchWhileTheWindowMovesMailAndAFilterBuilds() {
        UiFixture f;
        seedFolders(f);
        f.desktop().setBuilderStartDelay(10ms);
        const std::vector<std::string> names = {Account::kMainName, "work", "club"};
        std::vector<std::unique_ptr<RoundMailServer>> mailServers;
        for (const std::string& name : names) {
            mailServers.push_back(std::make_unique<RoundMailServer>(
                [name](int session) { return mailboxOf(name, session); }));
            QVERIFY(mailServers.back()->port() != 0);
        }
        const std::vector<std::uint16_t> localPorts = freeLocalPorts(3);
        QCOMPARE(localPorts.size(), std::size_t{3});
        storeAccounts(f.store(), names, mailServers, localPorts);
        if (QTest::currentTestFailed()) {
            return;
        }

        ListPanes p(f.context());
        QVERIFY(p.ready());
        RefreshLog refreshes;
        serveRefreshes(f, p, refreshes);

        ProcessObjects& objects = f.objects();
        SessionLog sessions;
        ProxyServices services = objects.proxyServices();
        // The scheduled-build check as the desktop program makes it.
        services.listenerPass = [&objects] { objects.buildCheck.onListenerPass(); };
        services.sessionEnded = [&sessions](const std::string& account,
                                            const SessionSummary& summary) {
            sessions.add(account, summary);
        };
        ProxyTimeouts timeouts;
        timeouts.listenerWait = 20ms;
        timeouts.mailMovePoll = 5ms;
        AccountServers servers(services, timeouts);
        QCOMPARE(servers.startAll(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(servers.listeningCount(), 3, kLong);

        // A dialog left open would hold the window thread for good.
        ModalWatch stuckDialog([](QWidget*) { return false; }, std::chrono::milliseconds(kLong));
        objects.schedule.setBuildNowPending(true);
        std::atomic<int> movesDone{0};
        const auto enough = [&objects, &movesDone] {
            return objects.builder.resultSet() && movesDone.load() >= kFewestMoves;
        };
        // The build runs on the server thread of an idle account, beside a
        // session of "work" left open for it.
        const auto buildStarted = [&objects] { return objects.builder.builderStarted(); };
        std::vector<std::unique_ptr<FetchingClient>> clients;
        for (std::size_t i = 0; i < names.size(); ++i) {
            clients.push_back(std::make_unique<FetchingClient>(
                names[i], localPorts[i], enough, std::chrono::milliseconds(20 + 15 * i),
                names[i] == "work" ? buildStarted : std::function<bool()>{}));
        }

        const std::set<int> moved = moveWhileClientsFetch(p, clients, movesDone);
        std::map<std::string, int> rounds;
        int allRounds = 0;
        for (const auto& client : clients) {
            QVERIFY(client->done());
            client->join();
            QCOMPARE(QString::fromStdString(client->problem()), QString());
            rounds[client->account()] = client->rounds();
            allRounds += client->rounds();
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            QCOMPARE(mailServers[i]->sessionsServed(), rounds[names[i]]);
        }

        // Every session ended, and each one's refresh came while it waited.
        QTRY_COMPARE_WITH_TIMEOUT(sessions.size(), static_cast<std::size_t>(allRounds), kLong);
        QTRY_COMPARE_WITH_TIMEOUT(refreshes.afterSession, allRounds, kLong);
        QTRY_VERIFY_WITH_TIMEOUT(noMoveClaimed(objects.sessionGate), kLong);
        QCOMPARE(refreshes.late, 0);
        QVERIFY(servers.stopForExit(5s));
        f.desktop().setRefreshHandler({});
        checkSummaries(sessions, rounds);

        QVERIFY(objects.builder.resultSet());
        QVERIFY(!objects.builder.builderRunning());
        QCOMPARE(refreshes.afterBuild, 1);
        QVERIFY(movesDone.load() >= kFewestMoves);
        for (const QString& told : f.prompter().told) {
            QCOMPARE(told, kDownloading);
        }
        QVERIFY(f.prompter().asked.isEmpty());

        checkStore(f.store(), rounds, moved);
        std::set<int> rows;
        for (const QString& index : p.column(CHeadersView::Column::kIndexColumn)) {
            rows.insert(index.toInt());
        }
        const std::vector<int> newEmails = f.store().emailIndexes("newA");
        QCOMPARE(rows, std::set<int>(newEmails.begin(), newEmails.end()));
    }

  private:
    // "main" as the store's POP3 settings, the others added to the book.
    static void storeAccounts(CDatabase& store, const std::vector<std::string>& names,
                              const std::vector<std::unique_ptr<RoundMailServer>>& mailServers,
                              const std::vector<std::uint16_t>& localPorts) {
        AccountBook book(store);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Account account = accountOf(names[i], mailServers[i]->port(), localPorts[i]);
            const auto refusal = i == 0 ? book.update(names[i], account) : book.add(account);
            QCOMPARE(QString::fromStdString(refusal.value_or("")), QString());
        }
    }

    // The window's moves, tried again and again until every client has ended;
    // the indexes moved.
    static std::set<int> moveWhileClientsFetch(
        ListPanes& p, const std::vector<std::unique_ptr<FetchingClient>>& clients,
        std::atomic<int>& movesDone) {
        const auto allDone = [&clients] {
            return std::all_of(clients.begin(), clients.end(),
                               [](const auto& client) { return client->done(); });
        };
        std::set<int> moved;
        const QDeadlineTimer deadline(kLong);
        while (!allDone() && !deadline.hasExpired()) {
            const std::vector<int> indexes = moveNewestToStoreGood(p);
            if (!indexes.empty()) {
                moved.insert(indexes.begin(), indexes.end());
                ++movesDone;
            }
            QTest::qWait(5);
        }
        return moved;
    }

    static void checkSummaries(SessionLog& sessions, const std::map<std::string, int>& rounds) {
        std::map<std::string, int> ended;
        std::lock_guard lock(sessions.mutex);
        for (const auto& [account, summary] : sessions.summaries) {
            ++ended[account];
            QCOMPARE(QString::fromStdString(summary.end), QStringLiteral("QUIT"));
            QCOMPARE(summary.retrieved, kMessages);
            QCOMPARE(summary.recorded, kMessages);
            QCOMPARE(summary.spam, 0);
        }
        QCOMPARE(ended, rounds);
    }

    // Every message fetched is stored once, in New Emails or, when the window
    // moved it, in Store Good; nothing else of the test's mail is stored.
    static void checkStore(CDatabase& store, const std::map<std::string, int>& rounds,
                           const std::set<int>& moved) {
        const StoredMail stored(store);
        QVERIFY(!stored.duplicateIndex);
        std::size_t expected = 0;
        for (const auto& [account, count] : rounds) {
            for (int session = 0; session < count; ++session) {
                for (int number = 1; number <= kMessages; ++number) {
                    const std::string subject = subjectOf(account, session, number);
                    const auto found = stored.places.find(subject);
                    QVERIFY2(found != stored.places.end() && found->second.size() == 1,
                             subject.c_str());
                    const auto& [folder, index] = found->second.front();
                    QCOMPARE(QString::fromStdString(folder),
                             QString::fromLatin1(moved.contains(index) ? "goodB" : "newA"));
                    ++expected;
                }
            }
        }
        QCOMPARE(stored.places.size(), expected);
        QCOMPARE(store.emailCount("goodB") - 6, static_cast<int>(moved.size()));
    }
};

GLIMMERFEN_UI_TEST_MAIN(AccountSessionsTest)
#include "tst_accountsessions.moc"
