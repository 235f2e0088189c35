// The TCP socket the proxy runs on, its Windows socket codes, and the host
// lookup.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/HostLookup.h"
#include "platform/TcpSocket.h"

using namespace std::chrono_literals;
using platform::TcpSocket;

namespace {

constexpr auto kPatience = 5s;

TcpSocket listening(std::uint16_t port = 0) {
    TcpSocket listener;
    EXPECT_TRUE(listener.open());
    EXPECT_TRUE(listener.bindLoopback(port));
    EXPECT_TRUE(listener.listen(1));
    return listener;
}

// Connects a non-blocking socket to `port`, whichever way the start goes.
TcpSocket connected(std::uint16_t port) {
    TcpSocket socket;
    EXPECT_TRUE(socket.open());
    EXPECT_TRUE(socket.setNonBlocking());
    const TcpSocket::Connect started = socket.connectStart({127, 0, 0, 1}, port);
    if (started == TcpSocket::Connect::InProgress) {
        EXPECT_EQ(socket.lastError(), 10035);
        EXPECT_EQ(socket.waitWritable(kPatience), TcpSocket::Wait::Ready);
        EXPECT_EQ(socket.connectResult(), 0);
    } else {
        EXPECT_EQ(started, TcpSocket::Connect::Connected);
    }
    return socket;
}

TEST(TcpSocketTest, ListenerReportsItsPortAndASecondListenerGets10048) {
    TcpSocket listener = listening();
    const std::uint16_t port = listener.boundPort();
    EXPECT_NE(port, 0);
    TcpSocket second;
    ASSERT_TRUE(second.open());
    EXPECT_FALSE(second.bindLoopback(port));
    EXPECT_EQ(second.lastError(), 10048);
}

TEST(TcpSocketTest, BytesTravelBothWays) {
    TcpSocket listener = listening();
    TcpSocket client = connected(listener.boundPort());
    ASSERT_EQ(listener.waitReadable(kPatience), TcpSocket::Wait::Ready);
    TcpSocket server = listener.accept();
    ASSERT_TRUE(server.isOpen());
    ASSERT_TRUE(server.setNonBlocking());
    ASSERT_TRUE(server.setNoDelay());

    EXPECT_EQ(server.send(std::string_view("+OK hello\r\n")), 11);
    ASSERT_EQ(client.waitReadable(kPatience), TcpSocket::Wait::Ready);
    char buffer[100];
    EXPECT_EQ(client.receive(std::span<char>(buffer, 4)), 4);
    EXPECT_EQ(std::string(buffer, 4), "+OK ");
    EXPECT_EQ(client.receive(buffer), 7);
    EXPECT_EQ(std::string(buffer, 7), "hello\r\n");

    // Nothing more: a non-blocking read says "would block".
    EXPECT_EQ(client.receive(buffer), -1);
    EXPECT_EQ(client.lastError(), 10035);
    EXPECT_EQ(client.waitReadable(0ms), TcpSocket::Wait::TimedOut);
    EXPECT_EQ(client.waitWritable(kPatience), TcpSocket::Wait::Ready);
}

TEST(TcpSocketTest, PeerThatClosedReadsAsZeroAndFailsSendsWithoutASignal) {
    TcpSocket listener = listening();
    TcpSocket client = connected(listener.boundPort());
    ASSERT_EQ(listener.waitReadable(kPatience), TcpSocket::Wait::Ready);
    TcpSocket server = listener.accept();
    ASSERT_TRUE(server.isOpen());
    client.shutdownBoth();
    client.close();

    ASSERT_EQ(server.waitReadable(kPatience), TcpSocket::Wait::Ready);
    char buffer[16];
    EXPECT_EQ(server.receive(buffer), 0);
    // The first send may still be taken; the peer's reset fails a later one.
    int result = 0;
    const std::string bytes(1000, 'x');
    for (int attempt = 0; attempt < 100 && result >= 0; ++attempt) {
        ASSERT_EQ(server.waitWritable(kPatience), TcpSocket::Wait::Ready);
        result = server.send(bytes);
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(server.lastError() == 10058 || server.lastError() == 10054) << server.lastError();
}

TEST(TcpSocketTest, RefusedConnectionIsReportedAs10061) {
    std::uint16_t port = 0;
    {
        TcpSocket probe;
        ASSERT_TRUE(probe.open());
        ASSERT_TRUE(probe.bindLoopback(0));
        port = probe.boundPort();
    }
    TcpSocket socket;
    ASSERT_TRUE(socket.open());
    ASSERT_TRUE(socket.setNonBlocking());
    const TcpSocket::Connect started = socket.connectStart({127, 0, 0, 1}, port);
    if (started == TcpSocket::Connect::InProgress) {
        ASSERT_EQ(socket.waitWritable(kPatience), TcpSocket::Wait::Ready);
        EXPECT_EQ(socket.connectResult(), 10061);
    } else {
        EXPECT_EQ(started, TcpSocket::Connect::Failed);
        EXPECT_EQ(socket.lastError(), 10061);
    }
}

TEST(TcpSocketTest, PortIsBoundAgainRightAfterItsConnectionsClosed) {
    std::uint16_t port = 0;
    {
        TcpSocket listener = listening();
        port = listener.boundPort();
        TcpSocket client = connected(port);
        ASSERT_EQ(listener.waitReadable(kPatience), TcpSocket::Wait::Ready);
        TcpSocket server = listener.accept();
        // The listening side closes first, as the proxy does: its end lingers.
        server.shutdownBoth();
        server.close();
        char buffer[4];
        ASSERT_EQ(client.waitReadable(kPatience), TcpSocket::Wait::Ready);
        EXPECT_EQ(client.receive(buffer), 0);
    }
    TcpSocket again;
    ASSERT_TRUE(again.open());
    EXPECT_TRUE(again.bindLoopback(port)) << again.lastError();
    EXPECT_TRUE(again.listen(1));
}

TEST(TcpSocketTest, ClosedSocketFailsWith10038) {
    TcpSocket socket;
    char buffer[4];
    EXPECT_EQ(socket.receive(buffer), -1);
    EXPECT_EQ(socket.lastError(), 10038);
    EXPECT_EQ(socket.waitReadable(0ms), TcpSocket::Wait::Failed);
    EXPECT_FALSE(socket.accept().isOpen());
    EXPECT_EQ(socket.connectStart({127, 0, 0, 1}, 1), TcpSocket::Connect::Failed);
    socket.shutdownBoth();
    socket.close();
}

TEST(TcpSocketTest, MovedSocketKeepsItsConnection) {
    TcpSocket listener = listening();
    TcpSocket moved = std::move(listener);
    EXPECT_FALSE(listener.isOpen());
    EXPECT_TRUE(moved.isOpen());
    EXPECT_NE(moved.boundPort(), 0);
}

TEST(HostLookupTest, DottedQuadIsTakenAsItStands) {
    const auto found = platform::lookupHost("127.0.0.1");
    ASSERT_TRUE(found.address.has_value());
    EXPECT_EQ(*found.address, (platform::Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(found.error, 0);
}

TEST(HostLookupTest, LocalhostResolvesToLoopback) {
    const auto found = platform::lookupHost("localhost");
    ASSERT_TRUE(found.address.has_value()) << found.error;
    EXPECT_EQ((*found.address)[0], 127);
}

TEST(HostLookupTest, EmptyNameIsNotFound) {
    const auto found = platform::lookupHost("");
    EXPECT_FALSE(found.address.has_value());
    EXPECT_EQ(found.error, 11001);
}

TEST(HostLookupTest, WithAStopFlagTheAnswerIsTheSame) {
    const std::atomic<bool> stop{false};
    const auto found = platform::lookupHost("localhost", &stop);
    ASSERT_TRUE(found.address.has_value()) << found.error;
    EXPECT_EQ((*found.address)[0], 127);
    EXPECT_FALSE(found.stopped);
    EXPECT_EQ(platform::lookupHost("", &stop).error, 11001);
}

// A resolver stuck on a dead name server must not hold up a stop: the caller
// is let go, and the abandoned lookup ends later on its own.
TEST(HostLookupTest, StopLetsTheCallerGoWhileTheResolverHangs) {
    std::atomic<bool> stop{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> finished;
    std::future<void> lookupEnded = finished.get_future();
    auto hangingResolver = [released, &finished](const std::string&) {
        released.wait();
        finished.set_value();
        return platform::HostLookupResult{platform::Ipv4Address{10, 0, 0, 1}, 0};
    };
    std::thread raiser([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    const auto found = platform::lookupHost("mail.example.org", stop, hangingResolver);
    raiser.join();
    EXPECT_TRUE(found.stopped);
    EXPECT_FALSE(found.address.has_value());
    EXPECT_EQ(found.error, 0);
    release.set_value();
    lookupEnded.wait();
}

TEST(HostLookupTest, DottedTextConversions) {
    EXPECT_EQ(platform::dottedToAddress("10.0.255.1"), (platform::Ipv4Address{10, 0, 255, 1}));
    EXPECT_EQ(platform::dottedToAddress("010.0.0.1"), (platform::Ipv4Address{10, 0, 0, 1}));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "1.2.3.4 ", "a.b.c.d", "1..2.3",
                            "1.2.3.0004", "-1.2.3.4"}) {
        EXPECT_FALSE(platform::dottedToAddress(bad).has_value()) << bad;
    }
    EXPECT_EQ(platform::addressToDotted({192, 168, 0, 7}), "192.168.0.7");
}

}  // namespace
