// Several accounts served at once: each proxy on its own port and thread, and
// each session's view refresh its own.
#include <gtest/gtest.h>

#include <string>

#include "ProxyTestSupport.h"
#include "proxy/AccountServers.h"
#include "store/AccountBook.h"
#include "store/SettingsFile.h"

using namespace proxytest;

namespace {

// A port of the local range that nothing holds at the moment.
int freePortInLocalRange() {
    for (int port = kHighestLocalPort; port >= kLowestLocalPort; --port) {
        TcpSocket probe;
        if (probe.open() && probe.bindLoopback(static_cast<std::uint16_t>(port))) {
            return port;
        }
    }
    return 0;
}

class AccountServersTest : public ProxyFixture {
  protected:
    ~AccountServersTest() override { m_servers.reset(); }

    void start(int expected = 2) {
        const ProxyServices services{db(),       m_bayes,   m_white, m_black, m_resolver,
                                     desktop(),  m_gate,    {},
                                     [this](const Account& account, std::uint16_t port) {
                                         std::lock_guard lock(m_portsMutex);
                                         m_ports[account.name] = port;
                                     },
                                     [this](const std::string&, const SessionSummary& summary) {
                                         std::lock_guard lock(m_summaryMutex);
                                         m_summaries.push_back(summary);
                                         m_summaryAdded.notify_all();
                                     }};
        ProxyTimeouts timeouts = shortTimeouts();
        // Far longer than the test waits: a refresh that came only by its
        // time-out would fail it.
        timeouts.refreshWait = std::chrono::minutes(5);
        m_servers = std::make_unique<AccountServers>(services, timeouts);
        EXPECT_EQ(m_servers->startAll(), expected);
    }

    std::uint16_t portOf(const std::string& account) {
        for (int pass = 0; pass < 3000; ++pass) {
            {
                std::lock_guard lock(m_portsMutex);
                if (m_ports.count(account) != 0) {
                    return m_ports[account];
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0;
    }

    // One retrieval and QUIT; the message as the client got it.
    std::string fetchOne(std::uint16_t port) {
        Peer peer = client(port);
        peer.send("USER me\r\n");
        peer.readLine();
        peer.send("RETR 1\r\n");
        const std::string message = peer.readMultiLine().value_or("");
        peer.send("QUIT\r\n");
        peer.readLine();
        return message;
    }

    bool noRefreshPending() {
        const bool free = m_gate.tryClaimMailMove();
        if (free) {
            m_gate.releaseMailMove();
        }
        return free;
    }

    bool eventually(const std::function<bool()>& condition) {
        for (int pass = 0; pass < 3000 && !condition(); ++pass) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return condition();
    }

    std::mutex m_portsMutex;
    std::map<std::string, std::uint16_t> m_ports;
    std::unique_ptr<AccountServers> m_servers;
};

TEST_F(AccountServersTest, TwoSessionsEndingTogetherEachWaitForTheirOwnRefresh) {
    FakePop3Server mainServer(MailboxScript{{makeMessage("for main")}});
    FakePop3Server workServer(MailboxScript{{makeMessage("for work")}});
    useServer(mainServer.port(), 0);
    Account work{"work", {false, "", 127, 0, 0, 1, workServer.port(), freePortInLocalRange()}, {}};
    ASSERT_EQ(AccountBook(db()).add(work), std::nullopt);
    desktop().holdRefreshes(true);
    start();

    std::string mainMessage;
    std::string workMessage;
    {
        std::thread other([&] { workMessage = fetchOne(portOf("work")); });
        mainMessage = fetchOne(portOf("main"));
        other.join();
    }
    EXPECT_NE(mainMessage.find("Subject: for main"), std::string::npos);
    EXPECT_NE(workMessage.find("Subject: for work"), std::string::npos);
    ASSERT_TRUE(eventually([&] { return desktop().heldRefreshCount() == 2; }));
    EXPECT_FALSE(noRefreshPending());

    // One view refresh done ends one session's wait, not both.
    desktop().releaseHeldRefresh(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(noRefreshPending());
    desktop().releaseHeldRefresh(0);
    EXPECT_TRUE(eventually([&] { return noRefreshPending(); }));
    EXPECT_EQ(waitForSessions(2).size(), 2u);
    EXPECT_EQ(db().emailCount("newA"), 2);
}

TEST_F(AccountServersTest, RemovedAccountStopsAndOthersServeOn) {
    FakePop3Server mainServer(MailboxScript{{makeMessage("one")}});
    useServer(mainServer.port(), 0);
    Account work{"work", {false, "", 127, 0, 0, 1, 1, freePortInLocalRange()}, {}};
    ASSERT_EQ(AccountBook(db()).add(work), std::nullopt);
    start();
    ASSERT_NE(portOf("work"), 0);
    ASSERT_EQ(AccountBook(db()).remove("work"), std::nullopt);
    m_servers->reload();
    const std::vector<AccountStatus> status = m_servers->status();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].name, "main");
    EXPECT_NE(fetchOne(portOf("main")).find("Subject: one"), std::string::npos);
}

TEST_F(AccountServersTest, ARenamedAccountTakesOverItsOwnPortWithoutAConflict) {
    useServer(1, 0);
    const int localPort = freePortInLocalRange();
    Account work{"work", {false, "", 127, 0, 0, 1, 1, localPort}, {}};
    ASSERT_EQ(AccountBook(db()).add(work), std::nullopt);
    start();
    ASSERT_EQ(portOf("work"), localPort);
    Account office = work;
    office.name = "office";
    ASSERT_EQ(AccountBook(db()).update("work", office), std::nullopt);
    EXPECT_TRUE(m_servers->reload());
    EXPECT_EQ(portOf("office"), localPort);
    for (const std::string& call : desktop().calls()) {
        EXPECT_EQ(call.rfind("askForPort", 0), std::string::npos) << call;
    }
}

TEST_F(AccountServersTest, AFileEditedToNameTooManyAccountsIsServedUpToTheLimit) {
    useServer(1, 0);
    Settings file;
    for (int n = 1; n <= 20; ++n) {
        file.at("extra" + std::to_string(n)).pop3 = Pop3Settings{false, "", 127, 0, 0, 1, 1, 0};
    }
    SettingsFile::save(file);
    start(static_cast<int>(Account::kMostAccounts));
    EXPECT_EQ(m_servers->status().size(), Account::kMostAccounts);
    const std::vector<std::string> boxes = desktop().timedBoxes();
    EXPECT_NE(std::find(boxes.begin(), boxes.end(),
                        "The settings file names 21 accounts; Glimmerfen serves the first 16"),
              boxes.end());
}

}  // namespace
