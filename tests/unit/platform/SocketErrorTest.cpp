// Socket failures read as the Windows socket codes, and the UDP socket the
// block-list client runs on.
#include <gtest/gtest.h>

#include <netdb.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/SocketError.h"
#include "platform/UdpSocket.h"

using namespace std::chrono_literals;
using platform::gaiErrorCode;
using platform::socketErrorCode;
using platform::socketErrorText;
using platform::UdpSocket;

namespace {

TEST(SocketErrorTest, ErrnoValuesMapToSocketCodes) {
    EXPECT_EQ(socketErrorCode(0), 0);
    EXPECT_EQ(socketErrorCode(EINTR), 10004);
    EXPECT_EQ(socketErrorCode(EBADF), 10009);
    EXPECT_EQ(socketErrorCode(EACCES), 10013);
    EXPECT_EQ(socketErrorCode(EFAULT), 10014);
    EXPECT_EQ(socketErrorCode(EINVAL), 10022);
    EXPECT_EQ(socketErrorCode(EMFILE), 10024);
    EXPECT_EQ(socketErrorCode(EAGAIN), 10035);
    EXPECT_EQ(socketErrorCode(EWOULDBLOCK), 10035);
    EXPECT_EQ(socketErrorCode(EINPROGRESS), 10035);
    EXPECT_EQ(socketErrorCode(EALREADY), 10037);
    EXPECT_EQ(socketErrorCode(ENOTSOCK), 10038);
    EXPECT_EQ(socketErrorCode(EMSGSIZE), 10040);
    EXPECT_EQ(socketErrorCode(EADDRINUSE), 10048);
    EXPECT_EQ(socketErrorCode(EADDRNOTAVAIL), 10049);
    EXPECT_EQ(socketErrorCode(ENETDOWN), 10050);
    EXPECT_EQ(socketErrorCode(ENETUNREACH), 10051);
    EXPECT_EQ(socketErrorCode(ECONNABORTED), 10053);
    EXPECT_EQ(socketErrorCode(ECONNRESET), 10054);
    EXPECT_EQ(socketErrorCode(ENOBUFS), 10055);
    EXPECT_EQ(socketErrorCode(EISCONN), 10056);
    EXPECT_EQ(socketErrorCode(ENOTCONN), 10057);
    EXPECT_EQ(socketErrorCode(ESHUTDOWN), 10058);
    EXPECT_EQ(socketErrorCode(EPIPE), 10058);
    EXPECT_EQ(socketErrorCode(ETIMEDOUT), 10060);
    EXPECT_EQ(socketErrorCode(ECONNREFUSED), 10061);
    EXPECT_EQ(socketErrorCode(EHOSTUNREACH), 10065);
}

TEST(SocketErrorTest, ErrnoWithoutSocketCounterpartKeepsItsNumber) {
    EXPECT_EQ(socketErrorCode(ENOENT), ENOENT);
    EXPECT_EQ(socketErrorText(socketErrorCode(ENOENT)), "Unknown Error.");
}

TEST(SocketErrorTest, NameLookupFailuresMapToHostCodes) {
    EXPECT_EQ(gaiErrorCode(0), 0);
    EXPECT_EQ(gaiErrorCode(EAI_NONAME), 11001);
    EXPECT_EQ(gaiErrorCode(EAI_AGAIN), 11002);
    EXPECT_EQ(gaiErrorCode(EAI_FAIL), 11003);
#ifdef EAI_NODATA
    EXPECT_EQ(gaiErrorCode(EAI_NODATA), 11004);
#endif
    EXPECT_EQ(gaiErrorCode(EAI_MEMORY), 10055);
    EXPECT_EQ(gaiErrorCode(EAI_FAMILY), 10047);
    errno = ECONNREFUSED;
    EXPECT_EQ(gaiErrorCode(EAI_SYSTEM), 10061);
}

TEST(SocketErrorTest, TextsAreThoseOfTheTable) {
    EXPECT_EQ(socketErrorText(0), "WSABASEERR, [0] No Error");
    EXPECT_EQ(socketErrorText(10048), "WSAEADDRINUSE, [10048] Address already in use");
    EXPECT_EQ(socketErrorText(10035), "WSAEWOULDBLOCK, [10035] Operation would block");
    EXPECT_EQ(socketErrorText(10049), "WSAEADDRNOTAVAIL, [10049] Can't assign requested address");
    EXPECT_EQ(socketErrorText(10061), "WSAECONNREFUSED, [10061] Connection refused");
    EXPECT_EQ(socketErrorText(10065), "WSAEHOSTUNREACH, [10065] No Route to Host");
    EXPECT_EQ(socketErrorText(10093),
              "WSANOTINITIALISED, [10093] Successful WSASTARTUP not yet performed");
    EXPECT_EQ(socketErrorText(11001), "WSAHOST_NOT_FOUND, [11001] Host not found");
    EXPECT_EQ(socketErrorText(11003),
              "WSANO_RECOVERY, [11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP");
    EXPECT_EQ(socketErrorText(11004),
              "WSANO_DATA, [11004] Valid name, no data record of requested");
}

TEST(SocketErrorTest, CodesOutsideTheTableAreUnknown) {
    for (int code : {-1, 1, 10000, 10001, 10003, 10072, 10090, 10094, 11000, 11005, 99999}) {
        EXPECT_EQ(socketErrorText(code), "Unknown Error.") << code;
    }
}

TEST(SocketErrorTest, EveryKnownTextCarriesItsCode) {
    int known = 0;
    for (int code = 0; code <= 12000; ++code) {
        const std::string text = socketErrorText(code);
        if (text == "Unknown Error.") {
            continue;
        }
        ++known;
        EXPECT_NE(text.find(", [" + std::to_string(code) + "] "), std::string::npos) << text;
        EXPECT_TRUE(text.starts_with("WSA")) << text;
    }
    EXPECT_EQ(known, 51);
}

TEST(SocketErrorTest, EveryMappedErrnoHasAText) {
    for (int err : {EINTR,         EBADF,       EACCES,      EFAULT,       EINVAL,     EMFILE,
                    EAGAIN,        EINPROGRESS, EALREADY,    ENOTSOCK,     EMSGSIZE,   EADDRINUSE,
                    EADDRNOTAVAIL, ENETDOWN,    ENETUNREACH, ECONNABORTED, ECONNRESET, ENOBUFS,
                    EISCONN,       ENOTCONN,    ESHUTDOWN,   EPIPE,        ETIMEDOUT,  ECONNREFUSED,
                    EHOSTUNREACH,  ELOOP,       EHOSTDOWN,   EAFNOSUPPORT}) {
        EXPECT_NE(socketErrorText(socketErrorCode(err)), "Unknown Error.") << err;
    }
}

TEST(UdpSocketTest, DatagramsTravelOverLoopback) {
    UdpSocket server;
    ASSERT_TRUE(server.open());
    ASSERT_TRUE(server.bindLoopback());
    const std::uint16_t port = server.boundPort();
    ASSERT_NE(port, 0);

    UdpSocket client;
    ASSERT_TRUE(client.open());
    ASSERT_TRUE(client.setNonBlocking());
    const std::vector<std::uint8_t> message = {1, 2, 3, 0, 250};
    ASSERT_TRUE(client.sendTo("127.0.0.1", port, message));

    ASSERT_EQ(server.waitReadable(5000ms), UdpSocket::Wait::Readable);
    std::array<std::uint8_t, 512> buffer{};
    std::string from;
    std::uint16_t fromPort = 0;
    ASSERT_EQ(server.receiveFrom(buffer, from, fromPort), 5);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 5), message);
    EXPECT_EQ(from, "127.0.0.1");
    EXPECT_NE(fromPort, 0);

    ASSERT_TRUE(server.sendTo(from, fromPort, std::vector<std::uint8_t>{9, 8}));
    ASSERT_EQ(client.waitReadable(5000ms), UdpSocket::Wait::Readable);
    EXPECT_EQ(client.receive(buffer), 2);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(buffer[1], 8);
}

TEST(UdpSocketTest, LongDatagramIsCutToTheBuffer) {
    UdpSocket server;
    ASSERT_TRUE(server.open());
    ASSERT_TRUE(server.bindLoopback());
    UdpSocket client;
    ASSERT_TRUE(client.open());
    const std::vector<std::uint8_t> message(600, 0x5A);
    ASSERT_TRUE(client.sendTo("127.0.0.1", server.boundPort(), message));
    ASSERT_EQ(server.waitReadable(5000ms), UdpSocket::Wait::Readable);
    std::array<std::uint8_t, 512> buffer{};
    EXPECT_EQ(server.receive(buffer), 512);
}

TEST(UdpSocketTest, WaitWithoutDatagramTimesOutAndReadWouldBlock) {
    UdpSocket socket;
    ASSERT_TRUE(socket.open());
    ASSERT_TRUE(socket.setNonBlocking());
    ASSERT_TRUE(socket.bindLoopback());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(socket.waitReadable(50ms), UdpSocket::Wait::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(socket.receive(buffer), -1);
    EXPECT_EQ(socket.lastError(), 10035);
}

TEST(UdpSocketTest, PortInUseIsReportedAs10048) {
    UdpSocket first;
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(first.bindLoopback());
    UdpSocket second;
    ASSERT_TRUE(second.open());
    EXPECT_FALSE(second.bindLoopback(first.boundPort()));
    EXPECT_EQ(second.lastError(), 10048);
    EXPECT_EQ(socketErrorText(second.lastError()), "WSAEADDRINUSE, [10048] Address already in use");
}

TEST(UdpSocketTest, BadDestinationsAreRefusedBeforeSending) {
    UdpSocket receiver;
    ASSERT_TRUE(receiver.open());
    ASSERT_TRUE(receiver.bindLoopback());
    UdpSocket socket;
    ASSERT_TRUE(socket.open());
    const std::vector<std::uint8_t> bytes = {1};
    EXPECT_FALSE(socket.sendTo("not.an.address", receiver.boundPort(), bytes));
    EXPECT_EQ(socket.lastError(), 10022);
    EXPECT_FALSE(socket.sendTo("127.0.0.1.", receiver.boundPort(), bytes));
    EXPECT_EQ(socket.lastError(), 10022);
    // Linux would hand 0.0.0.0 to this machine, where `receiver` listens.
    EXPECT_FALSE(socket.sendTo("0.0.0.0", receiver.boundPort(), bytes));
    EXPECT_EQ(socket.lastError(), 10049);
    // Nothing arrived: the one datagram sent now is the first the receiver reads.
    ASSERT_TRUE(socket.sendTo("127.0.0.1", receiver.boundPort(), std::vector<std::uint8_t>{7}));
    ASSERT_EQ(receiver.waitReadable(5000ms), UdpSocket::Wait::Readable);
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(receiver.receive(buffer), 1);
    EXPECT_EQ(buffer[0], 7);
}

TEST(UdpSocketTest, ClosedSocketRefusesWork) {
    UdpSocket socket;
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.waitReadable(1ms), UdpSocket::Wait::Failed);
    EXPECT_EQ(socket.lastError(), 10038);
    ASSERT_TRUE(socket.open());
    EXPECT_TRUE(socket.isOpen());
    socket.close();
    EXPECT_FALSE(socket.isOpen());
    socket.close();
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(socket.receive(buffer), -1);
    EXPECT_FALSE(socket.sendTo("127.0.0.1", 9, std::vector<std::uint8_t>{1}));
}

TEST(UdpSocketTest, MovedSocketKeepsItsBinding) {
    UdpSocket first;
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(first.bindLoopback());
    const std::uint16_t port = first.boundPort();
    UdpSocket second(std::move(first));
    EXPECT_FALSE(first.isOpen());
    EXPECT_EQ(second.boundPort(), port);
}

}  // namespace
