// One relayed unit at a time, between two loopback connections, as the session
// loop calls the relay.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "ProxyTestSupport.h"

using namespace proxytest;

namespace {

class RelayTest : public ProxyFixture {
  protected:
    RelayTest() : m_proxy(context(), shortTimeouts()) {
        auto [sourcePeer, source] = connectedPair();
        auto [destination, destinationPeer] = connectedPair();
        m_sourcePeer = Peer(std::move(sourcePeer));
        m_source = std::move(source);
        m_destination = std::move(destination);
        m_destinationPeer = Peer(std::move(destinationPeer));
        m_source.setNonBlocking();
        m_destination.setNonBlocking();
    }

    bool relay(bool multiLine, bool retrieval = false, RelayExtras extras = {}) {
        return m_proxy
            .recvSD1sendSD2(m_lastText.data(), m_source, m_destination, multiLine, retrieval,
                            extras)
            .complete();
    }
    std::string lastText() const { return std::string(m_lastText.data()); }
    // What reached the destination, once `size` bytes have.
    std::string arrived(std::size_t size) {
        std::string bytes;
        TcpSocket& socket = m_destinationPeer.socket();
        while (bytes.size() < size && socket.waitReadable(kPatience) == TcpSocket::Wait::Ready) {
            char buffer[4096];
            const int count = socket.receive(buffer);
            if (count <= 0) {
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(count));
        }
        return bytes;
    }

    CMidPointServer m_proxy;
    Peer m_sourcePeer;
    TcpSocket m_source;
    TcpSocket m_destination;
    Peer m_destinationPeer;
    std::array<char, CMidPointServer::kLastTextSize> m_lastText{};
};

TEST_F(RelayTest, ACommandIsHeldInLastText) {
    ASSERT_TRUE(m_sourcePeer.send("RETR 12\r\n"));
    EXPECT_TRUE(relay(false));
    EXPECT_EQ(lastText(), "RETR 12\r\n");
    EXPECT_EQ(arrived(9), "RETR 12\r\n");
}

TEST_F(RelayTest, LastTextKeepsTheLastHundredToOneHundredNinetyNineBytes) {
    std::string command = "NOOP ";
    while (command.size() < 248) {
        command += static_cast<char>('a' + command.size() % 26);
    }
    command += "\r\n";
    // Reads take at most 100 bytes: 100, 100 and 50 here.
    ASSERT_TRUE(m_sourcePeer.send(command));
    ASSERT_EQ(m_source.waitReadable(kPatience), TcpSocket::Wait::Ready);
    const bool complete = relay(false);
    EXPECT_TRUE(complete);
    const std::string kept = lastText();
    EXPECT_GE(kept.size(), 50u);
    EXPECT_LE(kept.size(), 199u);
    EXPECT_TRUE(command.ends_with(kept)) << kept;
    EXPECT_EQ(arrived(command.size()), command);
}

TEST_F(RelayTest, WholeReadsPassOnEvenPastTheEnd) {
    // One read holds the reply and more: all of it is passed on unchanged.
    ASSERT_TRUE(m_sourcePeer.send("+OK 2 200\r\n+OK next\r\n"));
    EXPECT_TRUE(relay(false));
    EXPECT_EQ(arrived(20), "+OK 2 200\r\n+OK next\r\n");
}

TEST_F(RelayTest, ClosedSourceEndsTheRelayWithEmptyLastText) {
    ASSERT_TRUE(m_sourcePeer.send("RET"));
    m_sourcePeer.close();
    EXPECT_FALSE(relay(false));
    EXPECT_EQ(lastText(), "");
}

TEST_F(RelayTest, HeldCommandIsNotPassedOnByTheRelay) {
    ASSERT_TRUE(m_sourcePeer.send("STLS\r\n"));
    EXPECT_TRUE(relay(false, false, RelayExtras{false, true}));
    EXPECT_EQ(lastText(), "STLS\r\n");
    EXPECT_EQ(m_destinationPeer.socket().waitReadable(std::chrono::milliseconds(0)),
              TcpSocket::Wait::TimedOut);
}

TEST_F(RelayTest, RetrievalIsCollectedRatedAndSent) {
    const std::string message = makeMessage("hello", 600);
    const std::string reply = "+OK\r\n" + message + ".\r\n";
    ASSERT_TRUE(m_sourcePeer.send(reply));
    EXPECT_TRUE(relay(true, true));
    EXPECT_EQ(arrived(reply.size()), reply);
    EXPECT_EQ(m_proxy.retrCount(), 1);
    EXPECT_EQ(db().emailCount("newA"), 1);
}

TEST_F(RelayTest, FailedMarkingLeavesTheTextUnchanged) {
    const std::string original = "From: a\r\nSubject: b\r\n\r\n";
    std::vector<char> text(original.begin(), original.end());
    text.push_back('\0');
    m_proxy.rateRetrievedMessage(text.data(), static_cast<int>(original.size()));
    // No room for the flag word.
    const std::span<char> exact(text.data(), original.size());
    EXPECT_EQ(m_proxy.addSpamToSubject(exact, static_cast<int>(original.size())),
              static_cast<int>(original.size()));
    EXPECT_EQ(std::string(text.data(), original.size()), original);
    EXPECT_NE(readWholeFile("ErrorLog.txt").find("Some Error in CMidPointServer::addSpamToSubject"),
              std::string::npos);
    // With room it marks.
    text.resize(original.size() + proxy::kMaxMarkGrowth + 1);
    EXPECT_EQ(m_proxy.addSpamToSubject(text, static_cast<int>(original.size())),
              static_cast<int>(original.size() + m_proxy.spamFlagWord().size()));
}

}  // namespace
