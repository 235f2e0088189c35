#pragma once

#include <chrono>
#include <cstddef>
#include <span>

namespace platform {

// A connected, non-blocking byte stream: what the proxy's relay reads from and
// writes to. A plain TCP connection is one; an encrypted session over such a
// connection is another, and may have to write in order to read (or read in
// order to write) while it renegotiates or finishes a handshake.
//
// So every transfer waits by itself, on whatever descriptor and in whichever
// direction the implementation needs, and never longer than the caller's
// slice: the caller can look at its own stop flag between slices without ever
// touching a descriptor. One object is used by one thread at a time.
class ByteStream {
  public:
    enum class Status {
        Done,            // `count` bytes moved, at least one
        Closed,          // reads: the peer ended the stream; writes: nothing was taken
        Idle,            // the slice passed with nothing to move
        WouldBlock,      // ready, yet the transfer found nothing to do (code 10035)
        WaitFailed,      // the wait for readiness failed; lastError() tells why
        TransferFailed,  // the read or write itself failed; lastError() tells why
    };
    struct Result {
        Status status = Status::Idle;
        std::size_t count = 0;
    };

    virtual ~ByteStream() = default;

    // Reads at most buffer.size() bytes, waiting up to `slice` for some.
    virtual Result readSome(std::span<char> buffer, std::chrono::milliseconds slice) = 0;
    // Writes a first part of `bytes` (maybe all), waiting up to `slice` until
    // the stream can take some.
    virtual Result writeSome(std::span<const char> bytes, std::chrono::milliseconds slice) = 0;

    // While on, the stream may hold small writes back and send them as whole
    // segments; turning it off sends what it holds at once. A stream that
    // cannot hold writes back sends each as it comes and ignores this.
    virtual void setCork(bool /*on*/) {}

    // Ends both directions; the stream stays open until close().
    virtual void shutdownBoth() = 0;
    // Releases the stream. Harmless when closed.
    virtual void close() = 0;
    // The Windows socket code (platform/SocketError.h) of the last failure, so
    // every stream's failures are logged and compared the same way.
    virtual int lastError() const = 0;

  protected:
    ByteStream() = default;
    ByteStream(const ByteStream&) = default;
    ByteStream& operator=(const ByteStream&) = default;
};

}  // namespace platform
