// The relay over byte streams that are not sockets: streams that wait within
// their own slices, take writes a few bytes at a time, or end in ways a socket rarely does.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "ProxyTestSupport.h"
#include "ScriptedStream.h"
#include "diag/Error.h"

using namespace proxytest;
using Status = platform::ByteStream::Status;

namespace {

class StreamRelayTest : public ProxyFixture {
  protected:
    StreamRelayTest() : m_proxy(context(), shortTimeouts()) {}

    RelayResult relay(bool multiLine, bool retrieval = false, RelayExtras extras = {}) {
        return m_proxy.recvSD1sendSD2(m_lastText.data(), m_source, m_destination, multiLine,
                                      retrieval, extras);
    }
    std::string lastText() const { return std::string(m_lastText.data()); }

    CMidPointServer m_proxy;
    ScriptedStream m_source;
    ScriptedStream m_destination;
    std::array<char, CMidPointServer::kLastTextSize> m_lastText{};
};

TEST_F(StreamRelayTest, RetrievalPassesThroughAStreamThatIdlesBetweenRecords) {
    const std::string reply = "+OK\r\n" + makeMessage("over records", 900) + ".\r\n";
    // Records of 37 bytes with empty slices between them, and a client side
    // that takes 7 bytes at a time.
    for (std::size_t at = 0; at < reply.size(); at += 37) {
        m_source.queueIdle(2);
        m_source.queueBytes(reply.substr(at, 37));
    }
    m_destination.limitWrites(7);

    const RelayResult result = relay(true, true);

    EXPECT_TRUE(result.complete());
    EXPECT_EQ(m_destination.written, reply);
    EXPECT_EQ(db().emailCount("newA"), 1);
}

TEST_F(StreamRelayTest, ALargeRetrievalGoesOutCorkedAndAServerPausePushesItsBytesOut) {
    const std::string reply = "+OK\r\n" + makeMessage("large", 8000) + ".\r\n";
    // Past the collect limit the message passes on as it comes; the server
    // pauses after 6000 bytes.
    m_source.queueBytes(reply.substr(0, 6000));
    m_source.queueIdle(1);
    m_source.queueBytes(reply.substr(6000));

    const RelayResult result = relay(true, true);

    EXPECT_TRUE(result.complete());
    EXPECT_EQ(m_destination.written, reply);
    const std::vector<std::pair<bool, std::size_t>> corkings{
        {true, 0}, {false, 6000}, {true, 6000}, {false, reply.size()}};
    EXPECT_EQ(m_destination.corkings, corkings);
}

TEST_F(StreamRelayTest, ARetrievalCutShortByAFailedReadLiftsTheCork) {
    const std::string reply = "+OK\r\n" + makeMessage("cut short", 8000) + ".\r\n";
    m_source.queueBytes(reply.substr(0, 6000));
    m_source.queueEnd(Status::TransferFailed, 10054);

    EXPECT_THROW((void)relay(true, true), CError);

    EXPECT_EQ(m_destination.written, reply.substr(0, 6000));
    EXPECT_FALSE(m_destination.corked);
}

TEST_F(StreamRelayTest, AReadyStreamWithNothingCutsTheRelayShortWithItsCode) {
    m_source.queueBytes("+OK 2 ");
    m_source.queueEnd(Status::WouldBlock, 10035);

    const RelayResult result = relay(false);

    EXPECT_EQ(result.end, RelayEnd::TimedOut);
    EXPECT_EQ(result.socketError, 10035);
    EXPECT_EQ(lastText(), "");
    EXPECT_EQ(m_destination.written, "+OK 2 ");
}

TEST_F(StreamRelayTest, AFailedReadIsASocketErrorNamingTheRead) {
    m_source.queueEnd(Status::TransferFailed, 10054);
    try {
        (void)relay(false);
        FAIL() << "no error";
    } catch (const CError& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find("recv() in getBytes()"), std::string::npos) << text;
        EXPECT_NE(text.find("10054"), std::string::npos) << text;
    }
}

TEST_F(StreamRelayTest, AHeldCommandComesBackInTheResultAndALongOneGoesOn) {
    m_source.queueBytes("ST");
    m_source.queueIdle(1);
    m_source.queueBytes("LS\r\n");
    const RelayResult held = relay(false, false, RelayExtras{false, true});
    EXPECT_TRUE(held.complete());
    EXPECT_EQ(held.heldCommand, "STLS\r\n");
    EXPECT_EQ(m_destination.written, "");

    const std::string longCommand = "NOOP " + std::string(300, 'x') + "\r\n";
    m_source.queueBytes(longCommand);
    const RelayResult passed = relay(false, false, RelayExtras{false, true});
    EXPECT_TRUE(passed.complete());
    EXPECT_FALSE(passed.heldCommand.has_value());
    EXPECT_EQ(m_destination.written, longCommand);
}

TEST_F(StreamRelayTest, AStopBetweenSlicesEndsTheRelayWithoutAnotherRead) {
    m_source.queueBytes("+OK\r\n1 200\r\n");
    m_source.beforeRead = [this](int reads) {
        if (reads == 3) {
            m_state.shutFlag = true;
        }
    };

    const RelayResult result = relay(true);

    EXPECT_EQ(result.end, RelayEnd::Stopped);
    EXPECT_EQ(m_source.readCalls(), 4);
    EXPECT_EQ(m_destination.written, "+OK\r\n1 200\r\n");
    EXPECT_NE(
        readWholeFile("ErrorLog.txt").find("Email download and to client: Manual shutFlag error"),
        std::string::npos);
}

}  // namespace
