#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

// One IPv4 UDP socket, closed when the object goes. Every failure leaves its
// Windows socket code (platform/SocketError.h) in lastError(), so callers log
// and compare the codes the rest of the system is written for.
class UdpSocket {
  public:
    enum class Wait { Readable, TimedOut, Failed };

    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the socket, closing any previous one first.
    bool open();
    bool isOpen() const { return m_fd >= 0; }
    bool setNonBlocking();

    // Binds to 127.0.0.1; port 0 lets the system choose, boundPort() tells which.
    bool bindLoopback(std::uint16_t port = 0);
    // The local port, 0 when the socket is not bound or cannot be asked.
    std::uint16_t boundPort();

    // Fixes the peer: sends go to it, and the system drops datagrams that
    // arrive from any other address or port, so a reply read afterwards came
    // from that peer. An address is refused as by sendTo().
    bool connect(const std::string& address, std::uint16_t port);
    // Sends one datagram to the connected peer; true only when all of it went.
    bool send(std::span<const std::uint8_t> bytes);

    // Sends one datagram to a dotted-quad address. True only when the whole
    // datagram went out. A text that is not a dotted quad fails with 10022; the
    // unspecified address 0.0.0.0 fails with 10049, as it does on Windows, rather
    // than silently reaching this machine as Linux would have it.
    bool sendTo(const std::string& address, std::uint16_t port,
                std::span<const std::uint8_t> bytes);

    // Waits until a datagram can be read or the time is up. Interrupted waits are
    // resumed for the time that is left, so the whole wait never runs past
    // `timeout`.
    Wait waitReadable(std::chrono::milliseconds timeout);

    // Reads one datagram into `buffer` (a longer datagram is cut to the buffer's
    // size). Returns the number of bytes stored, or -1.
    int receive(std::span<std::uint8_t> buffer);
    // As receive(), and tells where the datagram came from.
    int receiveFrom(std::span<std::uint8_t> buffer, std::string& address, std::uint16_t& port);

    // Shuts the socket down in both directions and closes it. Harmless when closed.
    void close();

    int lastError() const { return m_lastError; }

  private:
    bool fail();
    bool sendRaw(std::span<const std::uint8_t> bytes, const void* peer, std::size_t peerLength);

    int m_fd = -1;
    int m_lastError = 0;
};

}  // namespace platform
