// Whole sessions through the proxy: a scripted POP3 server on one side, a
// client on the other, the proxy's server thread between them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProxyTestSupport.h"
#include "proxy/PopCommand.h"
#include "support/TempDirectory.h"

using namespace proxytest;

namespace {

const std::string kFlag = "*GLIMMERFENED!*";
const std::string kStatus = "+OK message follows\r\n";

// The message as the client should see it when marked.
std::string flagged(const std::string& message) {
    const std::size_t value = message.find("Subject: ") + 9;
    return message.substr(0, value) + kFlag + message.substr(value);
}

bool contains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class SessionTest : public ProxyFixture {
  protected:
    // The stored texts of New Emails, oldest first.
    std::vector<std::string> storedTexts() {
        std::vector<std::string> texts;
        for (const int index : db().emailIndexes("newA")) {
            EmailHeader header;
            std::string text;
            EXPECT_TRUE(db().getEmailHeader(index, "newA", header, text));
            EXPECT_EQ(header.textLength, static_cast<std::int32_t>(text.size()));
            texts.push_back(text);
        }
        return texts;
    }

    std::string send(Peer& peer, const std::string& command, bool multiLine) {
        EXPECT_TRUE(peer.send(command + "\r\n"));
        const auto reply = multiLine ? peer.readMultiLine() : peer.readLine();
        EXPECT_TRUE(reply.has_value()) << command;
        return reply.value_or("");
    }
};

TEST_F(SessionTest, RelaysADialogueAndRecordsEachRetrieval) {
    const std::string first = makeMessage("first one");
    const std::string second = makeMessage("second one", 700);
    FakePop3Server pop3({{first, second}});
    useServer(pop3.port());
    Peer peer = client(startProxy());

    EXPECT_EQ(send(peer, "CAPA", true), "+OK\r\nTOP\r\nUSER\r\nUIDL\r\n.\r\n");
    EXPECT_EQ(send(peer, "USER me", false), "+OK\r\n");
    EXPECT_EQ(send(peer, "PASS secret", false), "+OK\r\n");
    EXPECT_EQ(send(peer, "STAT", false), "+OK\r\n");
    EXPECT_EQ(send(peer, "LIST", true), "+OK\r\n1 300\r\n2 700\r\n.\r\n");
    EXPECT_EQ(send(peer, "uidl", true), "+OK\r\n1 uid1\r\n2 uid2\r\n.\r\n");
    EXPECT_EQ(send(peer, "LIST 2", false), "+OK 2 700\r\n");
    EXPECT_EQ(send(peer, "UIDL 1", false), "+OK 1 300\r\n");
    EXPECT_EQ(send(peer, "TOP 1 0", true),
              "+OK\r\n" + first.substr(0, first.find("\r\n\r\n") + 4) + ".\r\n");
    EXPECT_EQ(send(peer, "retr 1", true), kStatus + first + ".\r\n");
    EXPECT_EQ(send(peer, "RETR 2", true), kStatus + second + ".\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");
    std::string rest;
    EXPECT_TRUE(peer.readToClose(rest));
    EXPECT_EQ(rest, "");

    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].end, "QUIT");
    EXPECT_EQ(summaries[0].retrieved, 2);
    EXPECT_EQ(summaries[0].recorded, 2);
    EXPECT_EQ(summaries[0].spam, 0);
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{first + ".\r\n", second + ".\r\n"}));
    EXPECT_EQ(pop3.commands(), (std::vector<std::string>{"CAPA", "USER me", "PASS secret", "STAT",
                                                         "LIST", "uidl", "LIST 2", "UIDL 1",
                                                         "TOP 1 0", "retr 1", "RETR 2", "QUIT"}));
    EXPECT_TRUE(m_gate.newMailArrived);
    // The view refresh follows the session; stopping the proxy waits for it.
    ASSERT_TRUE(m_server->stopForExit(kPatience));
    const auto calls = desktop().calls();
    EXPECT_TRUE(contains(calls, "refreshFolderCounts"));
    EXPECT_TRUE(contains(calls, "refreshViews 1"));
    // The header list showed another folder: no rows were added to it.
    EXPECT_TRUE(desktop().headerRows().empty());
}

TEST_F(SessionTest, SpamIsMarkedAndStoredUnmarked) {
    blackListSubject("cheap pills");
    const std::string spam = makeMessage("Cheap pills", 500);
    const std::string noSubject =
        "From: list@example.org\r\nTo: me@example.org\r\nReceived: from x\r\n\r\nbody\r\n";
    FakePop3Server pop3({{spam, noSubject}});
    useServer(pop3.port());
    desktop().showNewEmails(true);
    ListRows rows;
    m_black.showInList(rows);
    rows.push_back({"list@example.org", "From", "Insensitive"});
    ASSERT_TRUE(m_black.replaceFromList(rows));
    Peer peer = client(startProxy());

    EXPECT_EQ(send(peer, "RETR 1", true), kStatus + flagged(spam) + ".\r\n");
    EXPECT_EQ(send(peer, "RETR 2", true),
              kStatus + "Subject: " + kFlag + "\r\n" + noSubject + ".\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");

    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].spam, 2);
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{spam + ".\r\n", noSubject + ".\r\n"}));
    const auto rows2 = desktop().headerRows();
    ASSERT_EQ(rows2.size(), 2u);
    EXPECT_EQ(rows2[0].subject, "Cheap pills");
    EXPECT_EQ(rows2[0].dateTime, "7 Mar 2006, 08:05");
    EXPECT_EQ(rows2[0].from, "sender@example.org");
    EXPECT_EQ(rows2[1].dateTime, "1 Jan 0, 0:00");
}

TEST_F(SessionTest, RepliesArrivingOneBytePerReadAreRelayedExactly) {
    blackListSubject("viagra");
    const std::string spam = makeMessage("viagra", 400);
    MailboxScript script{{spam}};
    script.piece = 1;
    FakePop3Server pop3(script);
    useServer(pop3.port());
    Peer peer = client(startProxy());

    EXPECT_EQ(send(peer, "LIST", true), "+OK\r\n1 400\r\n.\r\n");
    EXPECT_EQ(send(peer, "RETR 1", true), kStatus + flagged(spam) + ".\r\n");
    EXPECT_EQ(send(peer, "RETR 5", false), "-ERR no such message\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{spam + ".\r\n"}));
}

TEST_F(SessionTest, LongMessageIsRatedOnItsFirstPartAndStreamedUnchanged) {
    blackListSubject("big offer");
    const std::string big = makeMessage("big offer", 20000);
    // Its Subject lies beyond the collected part, so nothing can mark it.
    const std::string filler = "X-Filler: " + std::string(6000, 'f') + "\r\n";
    const std::string late = "From: a@example.org\r\n" + filler + "Subject: big offer\r\n\r\n" +
                             std::string(9000, 'b') + "\r\n";
    FakePop3Server pop3({{big, late}});
    useServer(pop3.port());
    Peer peer = client(startProxy());

    EXPECT_EQ(send(peer, "RETR 1", true), kStatus + flagged(big) + ".\r\n");
    EXPECT_EQ(send(peer, "NOOP", false), "+OK\r\n");
    EXPECT_EQ(send(peer, "RETR 2", true), kStatus + late + ".\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");

    const auto texts = storedTexts();
    ASSERT_EQ(texts.size(), 2u);
    const std::size_t statusLength = kStatus.size();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& whole = i == 0 ? big : late;
        EXPECT_GE(texts[i].size() + statusLength, CMidPointServer::kCollectLimit);
        EXPECT_LE(texts[i].size() + statusLength, CMidPointServer::kMaxCollected);
        EXPECT_EQ(texts[i], whole.substr(0, texts[i].size()));
    }
    EXPECT_EQ(waitForSessions(1).at(0).spam, 1);
}

TEST_F(SessionTest, ErrorReplyToRetrIsRelayedAndNotStored) {
    FakePop3Server pop3({{makeMessage("only")}});
    useServer(pop3.port());
    Peer peer = client(startProxy());

    EXPECT_EQ(send(peer, "RETR 7", false), "-ERR no such message\r\n");
    EXPECT_EQ(send(peer, "NOOP", false), "+OK\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].retrieved, 1);
    EXPECT_EQ(summaries[0].recorded, 0);
    EXPECT_EQ(db().emailCount("newA"), 0);
}

TEST_F(SessionTest, ServerClosingMidMessageEndsTheSession) {
    MailboxScript script{{makeMessage("cut", 3000)}};
    script.closeInRetr = 1;
    FakePop3Server pop3(script, 2);
    useServer(pop3.port());
    const std::uint16_t port = startProxy();
    Peer peer = client(port);

    ASSERT_TRUE(peer.send("RETR 1\r\n"));
    std::string received;
    EXPECT_TRUE(peer.readToClose(received));
    EXPECT_EQ(received, "");
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].end, "server closed");
    EXPECT_EQ(db().emailCount("newA"), 0);

    // The listener goes on with the next client.
    Peer next = client(port);
    EXPECT_EQ(send(next, "QUIT", false), "+OK bye\r\n");
}

TEST_F(SessionTest, ClientClosingMidMessageEndsTheSession) {
    const std::string big = makeMessage("huge", 400000);
    FakePop3Server pop3({{big}}, 2);
    useServer(pop3.port());
    const std::uint16_t port = startProxy();
    {
        Peer peer = client(port);
        ASSERT_TRUE(peer.send("RETR 1\r\n"));
        ASSERT_TRUE(peer.readLine().has_value());
        peer.close();
    }
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_NE(summaries[0].end, "QUIT");

    Peer next = client(port);
    EXPECT_EQ(send(next, "NOOP", false), "+OK\r\n");
    EXPECT_EQ(send(next, "QUIT", false), "+OK bye\r\n");
    EXPECT_EQ(waitForSessions(2).size(), 2u);
}

TEST_F(SessionTest, TheNinetyFirstRetrievalIsRatedButNotRecorded) {
    blackListSubject("again");
    const std::string message = makeMessage("again and again", 120);
    FakePop3Server pop3({{message}});
    useServer(pop3.port());
    Peer peer = client(startProxy());

    for (int i = 1; i <= 91; ++i) {
        ASSERT_EQ(send(peer, "RETR 1", true), kStatus + flagged(message) + ".\r\n") << i;
    }
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].retrieved, 91);
    EXPECT_EQ(summaries[0].recorded, 90);
    EXPECT_EQ(summaries[0].spam, 91);
    EXPECT_EQ(db().emailCount("newA"), 90);
}

TEST_F(SessionTest, StlsIsAnsweredByTheProxyAndNotForwarded) {
    FakePop3Server pop3(MailboxScript{});
    useServer(pop3.port());
    Peer peer = client(startProxy());

    EXPECT_EQ(send(peer, "stls", false), std::string(proxy::kStartTlsRefusal));
    ASSERT_TRUE(peer.send("ST"));
    ASSERT_TRUE(peer.send("LS\r\n"));
    EXPECT_EQ(peer.readLine().value_or(""), std::string(proxy::kStartTlsRefusal));
    EXPECT_EQ(send(peer, "NOOP", false), "+OK\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");
    waitForSessions(1);
    EXPECT_EQ(pop3.commands(), (std::vector<std::string>{"NOOP", "QUIT"}));
}

TEST_F(SessionTest, ClientThatSendsNothingTimesOut) {
    FakePop3Server pop3(MailboxScript{});
    useServer(pop3.port());
    ProxyTimeouts timeouts = shortTimeouts();
    timeouts.io = 200ms;
    Peer peer = client(startProxy(timeouts));
    std::string rest;
    EXPECT_TRUE(peer.readToClose(rest));
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].end, "time-out");
    EXPECT_TRUE(contains(desktop().timedBoxes(), "Timed Out!"));
}

TEST_F(SessionTest, RefusedConnectionFailsTheSessionAndTheListenerGoesOn) {
    std::uint16_t closedPort = 0;
    {
        TcpSocket probe;
        ASSERT_TRUE(probe.open());
        ASSERT_TRUE(probe.bindLoopback(0));
        closedPort = probe.boundPort();
    }
    useServer(closedPort);
    const std::uint16_t port = startProxy();
    for (int attempt = 0; attempt < 2; ++attempt) {
        Peer peer;
        ASSERT_TRUE(peer.connectTo(port));
        std::string received;
        EXPECT_TRUE(peer.readToClose(received));
        EXPECT_EQ(received, "");
    }
    EXPECT_EQ(waitForSessions(2).size(), 2u);
    const auto boxes = desktop().timedBoxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes[0].find("connect(POP3Socket,...) error"), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[0].find("10061"), std::string::npos) << boxes[0];
}

TEST_F(SessionTest, UnresolvableServerNameFailsTheSessionCleanly) {
    Pop3Settings settings = db().getPOP3Settings();
    settings.useDomainName = true;
    settings.serverName = "";
    settings.localPort = 0;
    db().setPOP3Settings(settings);
    Peer peer;
    ASSERT_TRUE(peer.connectTo(startProxy()));
    std::string received;
    EXPECT_TRUE(peer.readToClose(received));
    EXPECT_EQ(received, "");
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].end, "failed");
    const auto boxes = desktop().timedBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("Can't find the POP3 server"), std::string::npos);
    EXPECT_NE(boxes[0].find("11001"), std::string::npos);
}

TEST_F(SessionTest, FlowRateMonitorStopsAStalledRetrieval) {
    MailboxScript script{{makeMessage("slow", 2000)}};
    script.stallInRetr = 1;
    FakePop3Server pop3(script);
    useServer(pop3.port());
    ProxyTimeouts timeouts = shortTimeouts();
    timeouts.flowTick = 5ms;
    timeouts.flowWindowTicks = 20;
    Peer peer = client(startProxy(timeouts));
    ASSERT_TRUE(peer.send("RETR 1\r\n"));
    std::string received;
    EXPECT_TRUE(peer.readToClose(received));
    EXPECT_EQ(received, "");
    ASSERT_TRUE(m_server->waitStopped(kPatience));
    pop3.release();
    EXPECT_TRUE(m_state.shutFlag);
    const std::string log = readWholeFile("ErrorLog.txt");
    EXPECT_NE(log.find("1> ShutFlag set, flow rate is "), std::string::npos) << log;
    EXPECT_NE(log.find(", below the threshold. "), std::string::npos) << log;
    EXPECT_NE(log.find("CMidPointServer::recvSD1sendSD2()"), std::string::npos) << log;
    EXPECT_EQ(m_state.shutReason().substr(0, 3), "1> ");
}

TEST_F(SessionTest, RestartWhileCollectingIsLoggedAsAManualStop) {
    MailboxScript script{{makeMessage("slow", 2000)}};
    script.stallInRetr = 1;
    FakePop3Server pop3(script);
    useServer(pop3.port());
    Peer peer = client(startProxy());
    ASSERT_TRUE(peer.send("RETR 1\r\n"));
    ASSERT_TRUE(pop3.waitStalled());
    EXPECT_TRUE(m_server->restartServer(kPatience));
    pop3.release();
    std::string received;
    EXPECT_TRUE(peer.readToClose(received));
    EXPECT_EQ(received, "");
    const std::string log = readWholeFile("ErrorLog.txt");
    EXPECT_NE(
        log.find("Email download: Manual shutFlag error in CMidPointServer::recvSD1sendSD2()"),
        std::string::npos)
        << log;
    EXPECT_TRUE(contains(desktop().calls(), "message Server Restarted!"));
    EXPECT_EQ(db().emailCount("newA"), 0);
}

TEST_F(SessionTest, StopDuringAnIdleSessionIsNoTimeOut) {
    FakePop3Server pop3(MailboxScript{});
    useServer(pop3.port());
    Peer peer = client(startProxy());
    EXPECT_EQ(send(peer, "NOOP", false), "+OK\r\n");
    EXPECT_TRUE(m_server->stopForExit(kPatience));
    std::string received;
    EXPECT_TRUE(peer.readToClose(received));
    const auto summaries = waitForSessions(1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].end, "stopped");
    EXPECT_FALSE(contains(desktop().timedBoxes(), "Timed Out!"));
}

TEST_F(SessionTest, ASessionWaitsForAMailMoveToFinish) {
    FakePop3Server pop3(MailboxScript{});
    useServer(pop3.port());
    ASSERT_TRUE(m_gate.tryClaimMailMove());
    const std::uint16_t port = startProxy();
    Peer peer;
    ASSERT_TRUE(peer.connectTo(port));
    // The session starts only once the move is over: no server was asked yet.
    EXPECT_EQ(pop3.sessionsServed(), 0);
    EXPECT_TRUE(pop3.commands().empty());
    m_gate.releaseMailMove();
    EXPECT_EQ(peer.readLine().value_or(""), "+OK fake POP3 ready\r\n");
    EXPECT_EQ(send(peer, "QUIT", false), "+OK bye\r\n");
}

}  // namespace
