#include "platform/UdpSocket.h"

#include "platform/PollWait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/SocketError.h"

namespace platform {

namespace {

constexpr int kInvalidArgument = 10022;
constexpr int kAddressNotAvailable = 10049;
constexpr int kNotSocket = 10038;
constexpr int kInterrupted = 10004;
// Signals do not keep a call from finishing for ever: after this many
// interruptions in a row the call gives up as interrupted.
constexpr int kMaxInterruptions = 100;

// The peer for a dotted-quad text, or the Windows code that refuses it.
int peerFor(const std::string& address, std::uint16_t port, sockaddr_in& peer) {
    peer = sockaddr_in{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        return kInvalidArgument;
    }
    if (peer.sin_addr.s_addr == htonl(INADDR_ANY)) {
        return kAddressNotAvailable;
    }
    return 0;
}

}  // namespace

UdpSocket::~UdpSocket() {
    close();
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_lastError(other.m_lastError) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_lastError = other.m_lastError;
    }
    return *this;
}

bool UdpSocket::fail() {
    m_lastError = lastSocketErrorCode();
    return false;
}

bool UdpSocket::open() {
    close();
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_fd < 0) {
        return fail();
    }
    return true;
}

bool UdpSocket::setNonBlocking() {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return false;
    }
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return fail();
    }
    return true;
}

bool UdpSocket::bindLoopback(std::uint16_t port) {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        return fail();
    }
    return true;
}

std::uint16_t UdpSocket::boundPort() {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        fail();
        return 0;
    }
    return ntohs(local.sin_port);
}

bool UdpSocket::connect(const std::string& address, std::uint16_t port) {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return false;
    }
    sockaddr_in peer{};
    if (const int refused = peerFor(address, port, peer); refused != 0) {
        m_lastError = refused;
        return false;
    }
    // A datagram socket connects at once, without any exchange, so there is no
    // interrupted connect to resume.
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
        return fail();
    }
    return true;
}

bool UdpSocket::send(std::span<const std::uint8_t> bytes) {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return false;
    }
    return sendRaw(bytes, nullptr, 0);
}

bool UdpSocket::sendTo(const std::string& address, std::uint16_t port,
                       std::span<const std::uint8_t> bytes) {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return false;
    }
    sockaddr_in peer{};
    if (const int refused = peerFor(address, port, peer); refused != 0) {
        m_lastError = refused;
        return false;
    }
    return sendRaw(bytes, &peer, sizeof peer);
}

bool UdpSocket::sendRaw(std::span<const std::uint8_t> bytes, const void* peer,
                        std::size_t peerLength) {
    for (int attempt = 0; attempt < kMaxInterruptions; ++attempt) {
        const ssize_t sent =
            ::sendto(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                     static_cast<const sockaddr*>(peer), static_cast<socklen_t>(peerLength));
        if (sent >= 0) {
            return static_cast<std::size_t>(sent) == bytes.size();
        }
        if (errno != EINTR) {
            return fail();
        }
    }
    m_lastError = kInterrupted;
    return false;
}

UdpSocket::Wait UdpSocket::waitReadable(std::chrono::milliseconds timeout) {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return Wait::Failed;
    }
    switch (pollFor(m_fd, POLLIN, timeout)) {
        case PollOutcome::Ready:
            return Wait::Readable;
        case PollOutcome::TimedOut:
            return Wait::TimedOut;
        case PollOutcome::Failed:
            fail();
            return Wait::Failed;
        case PollOutcome::Interrupted:
            break;
    }
    m_lastError = kInterrupted;
    return Wait::Failed;
}

int UdpSocket::receive(std::span<std::uint8_t> buffer) {
    std::string address;
    std::uint16_t port = 0;
    return receiveFrom(buffer, address, port);
}

int UdpSocket::receiveFrom(std::span<std::uint8_t> buffer, std::string& address,
                           std::uint16_t& port) {
    if (m_fd < 0) {
        m_lastError = kNotSocket;
        return -1;
    }
    for (int attempt = 0; attempt < kMaxInterruptions; ++attempt) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const ssize_t received = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr*>(&peer), &length);
        if (received >= 0) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            address = text;
            port = ntohs(peer.sin_port);
            // recvfrom never reports more than it was given room for without
            // MSG_TRUNC; the clamp keeps that promise visible to the caller.
            return static_cast<int>(
                std::min<std::size_t>(static_cast<std::size_t>(received), buffer.size()));
        }
        if (errno != EINTR) {
            fail();
            return -1;
        }
    }
    m_lastError = kInterrupted;
    return -1;
}

void UdpSocket::close() {
    if (m_fd < 0) {
        return;
    }
    // An unconnected datagram socket answers the shutdown with "not connected";
    // the close that follows is what releases it.
    ::shutdown(m_fd, SHUT_RDWR);
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace platform
