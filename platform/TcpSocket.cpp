#include "platform/TcpSocket.h"

#include "platform/PollWait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

constexpr int kNotSocket = 10038;
constexpr int kInterrupted = 10004;
constexpr int kWouldBlock = 10035;
// Signals do not keep a call from finishing for ever: after this many
// interruptions in a row the call gives up as interrupted.
constexpr int kMaxInterruptions = 100;

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

TcpSocket::~TcpSocket() {
    close();
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_lastError(other.m_lastError) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_lastError = other.m_lastError;
    }
    return *this;
}

bool TcpSocket::fail() {
    m_lastError = lastSocketErrorCode();
    return false;
}

bool TcpSocket::notOpen() {
    m_lastError = kNotSocket;
    return false;
}

bool TcpSocket::open() {
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_fd < 0) {
        return fail();
    }
    return true;
}

bool TcpSocket::setNonBlocking() {
    if (m_fd < 0) {
        return notOpen();
    }
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return fail();
    }
    return true;
}

bool TcpSocket::setNoDelay() {
    if (m_fd < 0) {
        return notOpen();
    }
    const int on = 1;
    if (::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
        return fail();
    }
    return true;
}

void TcpSocket::setCork(bool on) {
    if (m_fd >= 0) {
        const int value = on ? 1 : 0;
        (void)::setsockopt(m_fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
    }
}

bool TcpSocket::bindLoopback(std::uint16_t port) {
    if (m_fd < 0) {
        return notOpen();
    }
    // Without this a restarted proxy could not bind its port again for a
    // minute after a session, because the connections it closed first linger
    // in TIME_WAIT; Linux still refuses a second listener on the port.
    const int on = 1;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        return fail();
    }
    const sockaddr_in local = loopbackAddress(port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        return fail();
    }
    return true;
}

bool TcpSocket::listen(int backlog) {
    if (m_fd < 0) {
        return notOpen();
    }
    if (::listen(m_fd, backlog) < 0) {
        return fail();
    }
    return true;
}

std::uint16_t TcpSocket::boundPort() {
    if (m_fd < 0) {
        notOpen();
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

bool TcpSocket::endpoints(Ipv4Address& localAddress, std::uint16_t& localPort,
                          Ipv4Address& peerAddress, std::uint16_t& peerPort) {
    if (m_fd < 0) {
        return notOpen();
    }
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &localLength) < 0 ||
        ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) < 0) {
        return fail();
    }
    std::memcpy(localAddress.data(), &local.sin_addr.s_addr, localAddress.size());
    std::memcpy(peerAddress.data(), &peer.sin_addr.s_addr, peerAddress.size());
    localPort = ntohs(local.sin_port);
    peerPort = ntohs(peer.sin_port);
    return true;
}

TcpSocket TcpSocket::accept() {
    if (m_fd < 0) {
        notOpen();
        return {};
    }
    for (int attempt = 0; attempt < kMaxInterruptions; ++attempt) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            return TcpSocket(fd);
        }
        if (errno != EINTR) {
            fail();
            return {};
        }
    }
    m_lastError = kInterrupted;
    return {};
}

TcpSocket::Connect TcpSocket::connectStart(const Ipv4Address& address, std::uint16_t port) {
    if (m_fd < 0) {
        notOpen();
        return Connect::Failed;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    std::memcpy(&peer.sin_addr.s_addr, address.data(), address.size());
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        m_lastError = 0;
        return Connect::Connected;
    }
    // An interrupted connect goes on in the background, as one in progress does.
    if (errno == EINPROGRESS || errno == EINTR) {
        m_lastError = kWouldBlock;
        return Connect::InProgress;
    }
    fail();
    return Connect::Failed;
}

int TcpSocket::connectResult() {
    if (m_fd < 0) {
        notOpen();
        return m_lastError;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) {
        fail();
        return m_lastError;
    }
    if (pending != 0) {
        m_lastError = socketErrorCode(pending);
        return m_lastError;
    }
    return 0;
}

TcpSocket::Wait TcpSocket::waitFor(short events, std::chrono::milliseconds timeout) {
    if (m_fd < 0) {
        notOpen();
        return Wait::Failed;
    }
    switch (pollFor(m_fd, events, timeout)) {
        case PollOutcome::Ready:
            return Wait::Ready;
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

TcpSocket::Wait TcpSocket::waitReadable(std::chrono::milliseconds timeout) {
    return waitFor(POLLIN, timeout);
}

TcpSocket::Wait TcpSocket::waitWritable(std::chrono::milliseconds timeout) {
    return waitFor(POLLOUT, timeout);
}

int TcpSocket::receive(std::span<char> buffer) {
    return receive(buffer, 0);
}

int TcpSocket::receive(std::span<char> buffer, int flags) {
    if (m_fd < 0) {
        notOpen();
        return -1;
    }
    for (int attempt = 0; attempt < kMaxInterruptions; ++attempt) {
        const ssize_t received = ::recv(m_fd, buffer.data(), buffer.size(), flags);
        if (received >= 0) {
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

int TcpSocket::send(std::span<const char> bytes) {
    if (m_fd < 0) {
        notOpen();
        return -1;
    }
    for (int attempt = 0; attempt < kMaxInterruptions; ++attempt) {
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<int>(sent);
        }
        if (errno != EINTR) {
            fail();
            return -1;
        }
    }
    m_lastError = kInterrupted;
    return -1;
}

ByteStream::Result TcpSocket::transferred(int result) const {
    if (result > 0) {
        return {Status::Done, static_cast<std::size_t>(result)};
    }
    if (result == 0) {
        return {Status::Closed, 0};
    }
    return {m_lastError == kWouldBlock ? Status::WouldBlock : Status::TransferFailed, 0};
}

ByteStream::Result TcpSocket::notReady(Wait wait) {
    return {wait == Wait::TimedOut ? Status::Idle : Status::WaitFailed, 0};
}

// Bytes that have arrived are taken at once, so the receive is tried before
// the wait: a relay reads in 100-byte pieces, and a server's bulk is there
// before most of them. The same holds for sends, which a socket with room in
// its send buffer takes at once: a readiness wait before each piece doubled
// the system calls of a large message.
ByteStream::Result TcpSocket::readSome(std::span<char> buffer, std::chrono::milliseconds slice) {
    if (m_fd >= 0) {
        // Never blocks, even on a socket left blocking: the wait below is
        // what sees the slice out.
        const int received = receive(buffer, MSG_DONTWAIT);
        if (received >= 0 || m_lastError != kWouldBlock) {
            return transferred(received);
        }
    }
    const Wait wait = waitReadable(slice);
    return wait == Wait::Ready ? transferred(receive(buffer)) : notReady(wait);
}

ByteStream::Result TcpSocket::writeSome(std::span<const char> bytes,
                                        std::chrono::milliseconds slice) {
    if (m_fd >= 0) {
        const int sent = send(bytes);
        if (sent >= 0 || m_lastError != kWouldBlock) {
            return transferred(sent);
        }
    }
    const Wait wait = waitWritable(slice);
    return wait == Wait::Ready ? transferred(send(bytes)) : notReady(wait);
}

void TcpSocket::shutdownBoth() {
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_RDWR);
    }
}

void TcpSocket::close() {
    if (m_fd < 0) {
        return;
    }
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace platform
