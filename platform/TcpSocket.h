#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ByteStream.h"

namespace platform {

// An IPv4 address, most significant number first.
using Ipv4Address = std::array<std::uint8_t, 4>;

// One IPv4 TCP socket, closed when the object goes. Every failure leaves its
// Windows socket code (platform/SocketError.h) in lastError(), so the proxy
// logs and compares the codes the rest of the system is written for. A
// connected socket is the relay's plain byte stream.
class TcpSocket : public ByteStream {
  public:
    enum class Wait { Ready, TimedOut, Failed };
    enum class Connect { Connected, InProgress, Failed };

    TcpSocket() = default;
    ~TcpSocket() override;
    TcpSocket(TcpSocket&& other) noexcept;
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Creates the socket, closing any previous one first.
    bool open();
    bool isOpen() const { return m_fd >= 0; }
    bool setNonBlocking();
    // Sends small writes at once instead of holding them for the peer's
    // acknowledgement of the previous one.
    bool setNoDelay();
    // TCP_CORK. With no-delay on as well, lifting the cork sends the last
    // partial segment at once. A failure leaves writes going out as they
    // come, which costs only speed, so it is not reported.
    void setCork(bool on) override;

    // Binds to 127.0.0.1; port 0 lets the system choose, boundPort() tells which.
    // The address may be reused while old connections of the port linger in
    // their closing states, as Windows allows, but never while another socket
    // listens on it: that still fails with 10048.
    bool bindLoopback(std::uint16_t port);
    bool listen(int backlog);
    // The local port, 0 when the socket is not bound or cannot be asked.
    std::uint16_t boundPort();
    // The two ends of a connected socket; false when they cannot be asked.
    bool endpoints(Ipv4Address& localAddress, std::uint16_t& localPort, Ipv4Address& peerAddress,
                   std::uint16_t& peerPort);

    // Takes a waiting connection; the result is not open when none could be
    // taken (lastError() of this socket tells why).
    TcpSocket accept();

    // Starts connecting. A non-blocking socket normally answers InProgress,
    // with lastError() 10035 as on Windows; a connection the system makes at
    // once answers Connected.
    Connect connectStart(const Ipv4Address& address, std::uint16_t port);
    // After a started connection became writable: 0 when it is made, else the
    // socket code of why it failed.
    int connectResult();

    // Readiness waits. Interrupted waits are resumed for the time that is left,
    // so a wait never runs past `timeout`. A peer that closed or failed counts
    // as ready: the read or write that follows picks up what happened.
    Wait waitReadable(std::chrono::milliseconds timeout);
    Wait waitWritable(std::chrono::milliseconds timeout);

    // Reads at most buffer.size() bytes: the count, 0 when the peer has closed,
    // -1 on failure (10035 when nothing is there on a non-blocking socket).
    int receive(std::span<char> buffer);
    // Sends what the system takes of `bytes` at once: the count, or -1. A peer
    // that has gone away fails the send; it never raises SIGPIPE.
    int send(std::span<const char> bytes);

    // The stream face: one receive or send, and when the socket had nothing
    // (or no room), a readiness wait of at most `slice` and one more try.
    Result readSome(std::span<char> buffer, std::chrono::milliseconds slice) override;
    Result writeSome(std::span<const char> bytes, std::chrono::milliseconds slice) override;

    // Shuts both directions down; the socket stays open until close().
    void shutdownBoth() override;
    // Closes the socket. Harmless when closed.
    void close() override;

    int lastError() const override { return m_lastError; }

  private:
    explicit TcpSocket(int fd) : m_fd(fd) {}
    bool fail();
    bool notOpen();
    Wait waitFor(short events, std::chrono::milliseconds timeout);
    int receive(std::span<char> buffer, int flags);
    Result transferred(int result) const;
    static Result notReady(Wait wait);

    int m_fd = -1;
    int m_lastError = 0;
};

}  // namespace platform
