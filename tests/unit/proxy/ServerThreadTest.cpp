// The listener's port conflict, the automatic restart and Restart Server.
#include <gtest/gtest.h>

#include <string>

#include "ProxyTestSupport.h"

using namespace proxytest;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class ServerThreadTest : public ProxyFixture {
  protected:
    // The thread ends before the members its hooks use go.
    ~ServerThreadTest() override { m_server.reset(); }

    // A listener that keeps a port taken for the test.
    std::uint16_t takePort() {
        EXPECT_TRUE(m_taken.open());
        EXPECT_TRUE(m_taken.bindLoopback(0));
        EXPECT_TRUE(m_taken.listen(1));
        return m_taken.boundPort();
    }

    // Runs the listener on this thread against the taken port; the answer to
    // the port question is `answer`.
    void runAgainstTakenPort(int answer) {
        const std::uint16_t port = takePort();
        useServer(1, port);
        desktop().answerPortWith(answer);
        CMidPointServer server(context(), shortTimeouts());
        server.server();
        EXPECT_TRUE(m_state.shutFlag);
        EXPECT_TRUE(contains(desktop().calls(), "askForPort " + std::to_string(port)));
        const std::string log = readWholeFile("ErrorLog.txt");
        EXPECT_NE(log.find("bind() error in CMidPointServer::server()"), std::string::npos);
        EXPECT_NE(log.find("Winsock Error: 10048 -- WSAEADDRINUSE, [10048] Address already in use"),
                  std::string::npos)
            << log;
    }

    TcpSocket m_taken;
    platform::Event m_entered{platform::Event::Reset::Manual};
    platform::Event m_release{platform::Event::Reset::Manual};
    std::atomic<bool> m_holding{false};
    std::atomic<int> m_passes{0};
};

TEST_F(ServerThreadTest, PortConflictAnswerBelowTheRangeIsSavedAs2000) {
    runAgainstTakenPort(80);
    const Pop3Settings saved = db().getPOP3Settings();
    EXPECT_EQ(saved.localPort, 2000);
    // The other settings stay as they were.
    EXPECT_EQ(saved.pop3Port, 1);
    EXPECT_FALSE(saved.useDomainName);
    EXPECT_EQ(saved.ip1, 127);
    EXPECT_EQ(saved.ip4, 1);
}

TEST_F(ServerThreadTest, PortConflictAnswerAboveTheRangeIsSavedAs2000) {
    runAgainstTakenPort(6000);
    EXPECT_EQ(db().getPOP3Settings().localPort, 2000);
}

TEST_F(ServerThreadTest, PortConflictAnswerInTheRangeIsSavedAsGiven) {
    runAgainstTakenPort(3000);
    EXPECT_EQ(db().getPOP3Settings().localPort, 3000);
}

TEST_F(ServerThreadTest, TheAutomaticRestartBringsAStoppedProxyBack) {
    const std::uint16_t port = takePort();
    useServer(1, port);
    desktop().answerPortWith(0);
    m_server = std::make_unique<ServerThread>(context(), shortTimeouts());
    ASSERT_TRUE(m_server->startServerThread());
    ASSERT_TRUE(m_server->waitStopped(kPatience));
    EXPECT_TRUE(m_state.shutFlag);
    ASSERT_EQ(db().getPOP3Settings().localPort, 2000);

    // The new port is taken up at the restart; 0 lets the system choose.
    useServer(1, 0);
    m_state.appClosing = true;
    EXPECT_FALSE(m_server->restartIfStopped());
    m_state.appClosing = false;
    m_listening.reset();
    ASSERT_TRUE(m_server->restartIfStopped());
    EXPECT_FALSE(m_state.shutFlag);
    ASSERT_TRUE(m_listening.wait(kPatience));
    EXPECT_TRUE(m_server->isRunning());
    EXPECT_NE(m_server->listeningPort(), 0);
    // A running proxy is left alone.
    EXPECT_FALSE(m_server->restartIfStopped());
}

TEST_F(ServerThreadTest, RestartServerRestartsARunningProxy) {
    useServer(1, 0);
    startProxy();
    m_listening.reset();
    ASSERT_TRUE(m_server->restartServer(kPatience));
    EXPECT_TRUE(contains(desktop().calls(), "message Server Restarted!"));
    EXPECT_FALSE(m_state.shutFlag);
    EXPECT_FALSE(m_state.appClosing);
    EXPECT_TRUE(m_listening.wait(kPatience));
    EXPECT_TRUE(m_server->isRunning());
}

TEST_F(ServerThreadTest, RestartServerGivesUpOnAThreadThatDoesNotEnd) {
    m_passHook = [this] {
        if (m_holding) {
            m_entered.set();
            m_release.wait(kPatience);
        }
    };
    useServer(1, 0);
    startProxy();
    m_holding = true;
    ASSERT_TRUE(m_entered.wait(kPatience));

    EXPECT_FALSE(m_server->restartServer(std::chrono::milliseconds(50)));
    EXPECT_TRUE(contains(desktop().calls(), "message Didn't Restart. 5 second wait timed out."));
    EXPECT_FALSE(contains(desktop().calls(), "message Server Restarted!"));
    EXPECT_TRUE(m_state.shutFlag);
    EXPECT_TRUE(m_state.appClosing);
    // Both flags set: the automatic restart keeps out of it.
    EXPECT_FALSE(m_server->restartIfStopped());

    m_holding = false;
    m_release.set();
    ASSERT_TRUE(m_server->restartServer(kPatience));
    EXPECT_TRUE(contains(desktop().calls(), "message Server Restarted!"));
    EXPECT_FALSE(m_state.appClosing);
    EXPECT_TRUE(m_server->isRunning());
}

TEST_F(ServerThreadTest, StopForExitEndsTheThread) {
    useServer(1, 0);
    startProxy();
    EXPECT_TRUE(m_server->stopForExit(kPatience));
    EXPECT_FALSE(m_server->isRunning());
    EXPECT_TRUE(m_state.appClosing);
    EXPECT_FALSE(m_server->restartIfStopped());
}

TEST_F(ServerThreadTest, TheThreadSetsTheFilterFromTheStateByte) {
    db().setHarrowgleamState(1);
    m_bayes.setEnabled(false, false);
    useServer(1, 0);
    startProxy();
    EXPECT_TRUE(m_bayes.isEnabled());
    EXPECT_FALSE(contains(desktop().calls(), "status Bayes BAYES ON"));
}

TEST_F(ServerThreadTest, ListenerPassHookRunsWhileIdle) {
    m_passHook = [this] {
        if (++m_passes >= 3) {
            m_entered.set();
        }
    };
    useServer(1, 0);
    startProxy();
    EXPECT_TRUE(m_entered.wait(kPatience));
}

}  // namespace
